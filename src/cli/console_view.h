// The batch run's view for the command line: the listed files, the output folder, a stop flag
// that Ctrl+C sets, and a log that is printed line by line as it is written.
#ifndef VELLOMIR_CLI_CONSOLE_VIEW_H_
#define VELLOMIR_CLI_CONSOLE_VIEW_H_

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/repair_report.h"
#include "engine/repair_engine.h"

namespace vellomir::cli {

class ConsoleView : public RepairRunView {
 public:
  // `out` receives the log with LF line ends as it is written, then the end-of-run texts;
  // `exact_log`, when given, receives the log's exact text with CR LF.
  ConsoleView(std::vector<platform::Path> files, platform::Path output_folder,
              RepairOptions options, std::FILE* out, std::FILE* exact_log);

  int ItemCount() override { return static_cast<int>(files_.size()); }
  platform::Path ItemText(int index) override { return files_.at(static_cast<size_t>(index)); }
  platform::Path OutputFolder() override { return output_folder_; }
  std::atomic<bool>& StopRequested() override { return stop_requested_; }
  void SetStatusText(const std::u16string& text) override { status_text_ = text; }
  void ToggleStatusBold(BoldRange) override {}
  RepairLog& Log() override { return log_; }
  void ShowButton(ViewButton, bool) override {}
  void ShowCompletionDialog(const platform::Path& output_folder, int failed, int count) override;
  void ShowMessage(const std::u16string& text) override;
  RepairOptions EngineOptions() override { return options_; }
  void FileDone(int index, const platform::Path& source, const FileOutcome& outcome) override;

  // How many files gave a result.
  int repaired() const { return repaired_; }
  // What became of every file that had its turn, for the report.
  const std::vector<ReportedDocument>& documents() const { return documents_; }
  const std::u16string& status_text() const { return status_text_; }

 private:
  void LogChanged(std::u16string_view text, bool replaced);
  void Print(std::u16string_view text);

  std::vector<platform::Path> files_;
  platform::Path output_folder_;
  RepairOptions options_;
  std::FILE* out_;
  std::FILE* exact_log_;
  std::atomic<bool> stop_requested_{false};
  std::u16string status_text_;
  TextRepairLog log_;
  size_t printed_ = 0;  // how much of the log's text has been printed
  int repaired_ = 0;
  std::vector<ReportedDocument> documents_;
};

}  // namespace vellomir::cli

#endif  // VELLOMIR_CLI_CONSOLE_VIEW_H_
