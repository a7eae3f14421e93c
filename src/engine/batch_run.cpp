// The batch run: walks the view's file list, one engine per document, and ends the run with the
// status text, the completion dialog or the stop message, and the final buttons.
#include "engine/repair_engine.h"

namespace vellomir {
namespace {

void WriteFileHeader(RepairRunView& view, int index, int count, const platform::Path& source) {
  // The header replaces the whole text, as the window's log control is written, and asks for no
  // scroll: the step line that follows brings the end into view.
  RepairLog& log = view.Log();
  std::u16string text = log.Text();
  text += kSeparatorLine;
  text += ProgressLine(index + 1, count);
  text += kFileNamePrefix;
  text += source;
  text += kLineEnd;
  log.SetText(text);
}

// Repairs one listed document; false when it gave no result file.
bool RepairListedFile(RepairRunView& view, int index, const platform::Path& source) {
  if (!platform::Fs().Exists(source)) {
    view.FileDone(index, source, FileOutcome{});  // existed stays false
    return false;
  }
  FileOutcome outcome;
  {
    CRepairEngine engine(view.EngineOptions());
    engine.RepairFile(source, view.OutputFolder(), &view.Log());
    outcome = engine.Outcome();
  }  // the engine clears the workspace and closes the source here
  view.FileDone(index, source, outcome);
  return outcome.saved;
}

void ShowEndOfRun(RepairRunView& view, int failed, int count) {
  view.SetStatusText(CompletionStatusText(failed, count));
  for (const BoldRange& range : CompletionBoldRanges(failed, count)) view.ToggleStatusBold(range);
  if (view.StopRequested().load()) {
    view.ShowMessage(std::u16string(kStopMessage));
  } else {
    view.ShowCompletionDialog(view.OutputFolder(), failed, count);
  }
  view.ShowButton(ViewButton::kStop, false);
  view.ShowButton(ViewButton::kNext, false);
  view.ShowButton(ViewButton::kBack, true);
  view.ShowButton(ViewButton::kExit, true);
}

}  // namespace

void RunRepairBatch(RepairRunView& view) {
  view.SetStatusText(std::u16string(kRunningText));
  view.Log().SetText(std::u16string(kRunStartedLine));
  view.StopRequested().store(false);

  int failed = 0;
  for (int i = 0; i < view.ItemCount(); ++i) {
    // A stop takes effect only here, between two documents.
    if (view.StopRequested().load()) break;
    const int count = view.ItemCount();
    const platform::Path source = view.ItemText(i);
    WriteFileHeader(view, i, count, source);
    if (!RepairListedFile(view, i, source)) ++failed;
  }
  ShowEndOfRun(view, failed, view.ItemCount());
}

int RepairThreadProc(RepairRunView& view) {
  RunRepairBatch(view);
  view.ClearRunThread();
  return 1;
}

}  // namespace vellomir
