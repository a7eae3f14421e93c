#include "cli/console_view.h"

namespace vellomir::cli {

ConsoleView::ConsoleView(std::vector<platform::Path> files, platform::Path output_folder,
                         RepairOptions options, std::FILE* out, std::FILE* exact_log)
    : files_(std::move(files)),
      output_folder_(std::move(output_folder)),
      options_(options),
      out_(out),
      exact_log_(exact_log) {
  log_.on_change = [this](std::u16string_view text, bool replaced) { LogChanged(text, replaced); };
}

// Prints what the log gained since the last change, without copying the whole log each time: an
// appended text is printed as it is; after a replacement (the run writes each file's header by
// replacing the whole text) the new part is what follows the text printed so far.
void ConsoleView::LogChanged(std::u16string_view text, bool replaced) {
  std::u16string_view added = text;
  if (replaced) {
    if (text.size() < printed_) printed_ = 0;  // a new log
    added = text.substr(printed_);
    printed_ = text.size();
  } else {
    printed_ += text.size();
  }
  if (exact_log_ != nullptr) {
    const std::string bytes = platform::ToUtf8ForDisplay(added);
    std::fwrite(bytes.data(), 1, bytes.size(), exact_log_);
    std::fflush(exact_log_);
  }
  std::u16string lines;
  lines.reserve(added.size());
  for (char16_t c : added) {
    if (c != u'\r') lines.push_back(c);
  }
  Print(lines);
}

void ConsoleView::Print(std::u16string_view text) {
  const std::string bytes = platform::ToUtf8ForDisplay(text);
  std::fwrite(bytes.data(), 1, bytes.size(), out_);
  std::fflush(out_);
}

void ConsoleView::ShowCompletionDialog(const platform::Path& output_folder, int failed, int count) {
  Print(status_text_ + u"\n");
  const std::u16string message =
      failed > 0 ? CompletionErrorMessage(failed, count) : std::u16string(kCompletionMessage);
  Print(message + u"\n" + output_folder + u"\n");
}

void ConsoleView::ShowMessage(const std::u16string& text) {
  Print(status_text_ + u"\n" + text + u"\n");
}

void ConsoleView::FileDone(int, const platform::Path& source, const FileOutcome& outcome) {
  if (outcome.saved) ++repaired_;
  documents_.push_back(ReportedDocument{source, outcome});
}

}  // namespace vellomir::cli
