// The repair engine: the batch run over a list of documents, the per-document pipeline, result
// names and the log.
//
// Usage, without a window (the command line and the tests do this):
//   class MyView : public RepairRunView { ... };   // the list, the output folder, the log ...
//   MyView view;
//   RunRepairBatch(view);
//
// Usage, one document:
//   TextRepairLog log;
//   CRepairEngine engine;                        // clears the workspace
//   engine.RepairFile(u"/data/Book.ods", u"/out/", &log);
//   // log.Text() holds "Opening file..\r\n" ... "Repaired file name : /out/REC_Book.ods\r\n"
//
// Failures of a document never escape as exceptions or errors: they show as log lines, and the
// run goes on with the next document.
#ifndef VELLOMIR_ENGINE_REPAIR_ENGINE_H_
#define VELLOMIR_ENGINE_REPAIR_ENGINE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/workspace.h"
#include "platform/platform.h"
#include "salvage/salvage.h"

namespace vellomir {

// ---------------------------------------------------------------------------------------------
// Texts of the run and of the pipeline, exactly as the log and the view show them.

inline constexpr std::u16string_view kLineEnd = u"\r\n";
inline constexpr std::u16string_view kRunningText =
    u"Please wait\u2026 repairing of file(s) is in progress";
inline constexpr std::u16string_view kRunStartedLine = u"Repairing process started\r\n";
inline constexpr std::u16string_view kSeparatorLine =
    u"==================================================================\r\n";
inline constexpr std::u16string_view kFileNamePrefix = u"File Name : ";
inline constexpr std::u16string_view kStopMessage = u"Saving abort by user";
inline constexpr std::u16string_view kCompletionText =
    u"File repair and saving process completed successfully. Click Back to go back to main "
    u"window for repairing more file(s) or click Exit to quit the application.";

// The completion dialog's message after a run without failures.
inline constexpr std::u16string_view kCompletionMessage =
    u"The repairing process was completed successfully ";

inline constexpr std::u16string_view kLogOpening = u"Opening file..";
inline constexpr std::u16string_view kLogOpeningDone = u"Opening file Done..";
inline constexpr std::u16string_view kLogOpeningFail = u"Opening file Fail..";
inline constexpr std::u16string_view kLogExtracting = u"Extracting file content..";
inline constexpr std::u16string_view kLogExtractingDone = u"Extracting file content Done..";
inline constexpr std::u16string_view kLogMaking = u"Making new file..";
inline constexpr std::u16string_view kLogMakingDone = u"Making new file Done..";
inline constexpr std::u16string_view kLogMakingFail = u"Making new file Fail..";
inline constexpr std::u16string_view kLogResultName = u"Repaired file name : ";
inline constexpr std::u16string_view kLogSavingFail = u"Saving repaired file Fail..";
// Lines of the completion step, written only when it changed something.
inline constexpr std::u16string_view kLogCompleting = u"Completing damaged parts..";
inline constexpr std::u16string_view kLogCompletingDone = u"Completing damaged parts Done..";
inline constexpr std::u16string_view kLogPartCompleted = u"Part completed : ";
inline constexpr std::u16string_view kLogPartRebuilt = u"Part rebuilt : ";
inline constexpr std::u16string_view kLogPartRemoved = u"Part removed : ";

// The progress line "Processing File %d of %d \r\n" (a blank before the line end).
std::u16string ProgressLine(int number, int count);
// The status pane's text after a run in which `failed` of `count` files gave no result, and the
// ranges of its bold words ("Back" and "Exit"). With no failure it is kCompletionText.
struct BoldRange {
  int first;  // first character, counted from 0
  int last;   // last character, included
};
std::u16string CompletionStatusText(int failed, int count);
std::vector<BoldRange> CompletionBoldRanges(int failed, int count);
// The completion dialog's message for a run with failures: "The repairing process completed with
// errors: %d of %d file(s) could not be repaired ".
std::u16string CompletionErrorMessage(int failed, int count);

// ---------------------------------------------------------------------------------------------
// The log pane. Every line ends in CR LF, the last one too.

class RepairLog {
 public:
  virtual ~RepairLog() = default;
  // The whole text.
  virtual std::u16string Text() = 0;
  // Replaces the whole text.
  virtual void SetText(const std::u16string& text) = 0;
  // Appends `text` at the end. The default reads and rewrites the whole text.
  virtual void Append(std::u16string_view text);
  // Asks for the last line to be brought into view, without waiting for it to happen.
  virtual void RequestScrollToBottom() = 0;
};

// A log held in memory, for the command line and the tests. `on_change`, when set, sees every
// appended text and every replacement as it happens.
class TextRepairLog : public RepairLog {
 public:
  std::u16string Text() override { return text_; }
  void SetText(const std::u16string& text) override;
  void Append(std::u16string_view text) override;
  void RequestScrollToBottom() override { ++scroll_requests_; }

  int scroll_requests() const { return scroll_requests_; }
  // Called with the text appended, or with the whole text after a replacement (`replaced`).
  std::function<void(std::u16string_view text, bool replaced)> on_change;

 private:
  std::u16string text_;
  int scroll_requests_ = 0;
};

// ---------------------------------------------------------------------------------------------
// One document.

// Owns one open file and closes it when destroyed.
class CFile64 {
 public:
  CFile64() = default;
  virtual ~CFile64();
  CFile64(const CFile64&) = delete;
  CFile64& operator=(const CFile64&) = delete;

  bool IsOpen() const { return file_ != nullptr; }
  platform::File* get() const { return file_.get(); }
  void Reset(std::unique_ptr<platform::File> file = nullptr) { file_ = std::move(file); }

 private:
  std::unique_ptr<platform::File> file_;
};

struct RepairOptions {
  // Complete XML parts that were cut or damaged and rebuild a lost manifest before packing.
  bool complete_damaged_parts = true;
  // Keep a record of every local header in FileOutcome::members, for a report. Without it none
  // is kept: a source made of millions of false headers would cost gigabytes of records.
  bool keep_member_records = false;
};

// What became of one document.
struct FileOutcome {
  bool existed = false;               // something was at the source path when its turn came
  bool opened = false;                // the source could be opened
  bool packed = false;                // a new container was written
  bool saved = false;                 // the result lies in the output folder
  platform::Path result_path;         // where, when saved
  std::vector<MemberRecord> members;  // one record per local header found, in file order,
                                      // when RepairOptions::keep_member_records asks for them
  SalvageSummary salvage;             // what the salvage gave, in numbers
  CompletionResult completion;        // what the completion step changed
};

// Repairs one document: opens it for exclusive reading, salvages every member that can still be
// read into the workspace, packs the workspace into a new container and saves it in the output
// folder under a "REC_" name that replaces nothing. One engine per document; construction and
// destruction clear the workspace.
class CRepairEngine {
 public:
  explicit CRepairEngine(const RepairOptions& options = {});
  virtual ~CRepairEngine();
  CRepairEngine(const CRepairEngine&) = delete;
  CRepairEngine& operator=(const CRepairEngine&) = delete;

  // The whole pipeline, logged line by line into `log` (borrowed). `output_folder` ends in the
  // separator. True when a result was saved; Outcome() tells more.
  bool RepairFile(platform::Path source, platform::Path output_folder, RepairLog* log);
  // Opens the document for exclusive reading into m_source. False when it is missing, not a
  // regular file, unreadable or locked by another process.
  bool OpenSource(const platform::Path& path);
  // Appends one line (without its line end) to the log and asks for it to be shown.
  void AppendLog(std::u16string line);
  // Salvages every member of m_source into the workspace folder. Always true; what cannot be read
  // is missing from the workspace.
  bool ExtractContent();

  const FileOutcome& Outcome() const { return m_outcome; }

 private:
  void CompleteDamagedParts(const platform::Path& source);
  bool PackWorkspace();
  bool SaveResult(const platform::Path& source, const platform::Path& output_folder);

  WorkspaceLock m_workspaceLock;  // taken first, released last
  CFile64 m_source;
  std::vector<int64_t> m_localHeaderOffsets;
  std::vector<int64_t> m_descriptorOffsets;
  RepairLog* m_log = nullptr;
  RepairOptions m_options;
  FileOutcome m_outcome;
};

// The result path for the candidate output folder + "REC_" + file name: the candidate itself when
// nothing exists there, else its first free numbered form in capitals, REC_BOOK(1).ODS and so on.
// Only the file-name part is changed; the folder part stays as given.
platform::Path MakeResultName(const platform::Path& candidate);
// The candidate: output folder (ending in the separator) + "REC_" + the source's file name.
platform::Path ResultCandidate(const platform::Path& source, const platform::Path& output_folder);

// ---------------------------------------------------------------------------------------------
// The batch run.

enum class ViewButton { kNext, kBack, kStop, kExit };

// What the batch run needs of the view that shows it. In the window every call is carried out on
// the user-interface thread; the command line and the tests answer them directly.
class RepairRunView {
 public:
  virtual ~RepairRunView() = default;

  // The file list: its row count and the text (a full source path) of row `index`, read afresh
  // at every call.
  virtual int ItemCount() = 0;
  virtual platform::Path ItemText(int index) = 0;
  // The output folder, ending in the separator.
  virtual platform::Path OutputFolder() = 0;
  // The stop request: set by the view (after the user confirmed), cleared by the run at its
  // start, read before every file and at the end.
  virtual std::atomic<bool>& StopRequested() = 0;
  // The status pane: replace its text; select characters first..last and toggle their bold state
  // (a range that is bold throughout becomes plain, any other bold).
  virtual void SetStatusText(const std::u16string& text) = 0;
  virtual void ToggleStatusBold(BoldRange range) = 0;
  // The log pane.
  virtual RepairLog& Log() = 0;
  virtual void ShowButton(ViewButton button, bool visible) = 0;
  // The completion dialog, shown modally; returns when it is closed. `failed` of `count` files
  // gave no result.
  virtual void ShowCompletionDialog(const platform::Path& output_folder, int failed, int count) = 0;
  // A message box with an OK button, shown modally.
  virtual void ShowMessage(const std::u16string& text) = 0;
  // The run is over: the view's current-run reference is cleared.
  virtual void ClearRunThread() {}

  // Options for every engine of the run, and what became of each file (for scripts).
  virtual RepairOptions EngineOptions() { return {}; }
  virtual void FileDone(int /*index*/, const platform::Path& /*source*/,
                        const FileOutcome& /*outcome*/) {}
};

// The whole run over the view's file list.
void RunRepairBatch(RepairRunView& view);
// The worker thread's routine: the run, then the current-run reference is cleared. Returns 1.
int RepairThreadProc(RepairRunView& view);

}  // namespace vellomir

#endif  // VELLOMIR_ENGINE_REPAIR_ENGINE_H_
