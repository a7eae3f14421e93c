// A view of a batch run without a window, for the tests: it records what the run asked of it.
#ifndef VELLOMIR_TESTS_ENGINE_RECORDING_VIEW_H_
#define VELLOMIR_TESTS_ENGINE_RECORDING_VIEW_H_

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "engine/repair_engine.h"

namespace vellomir::testing {

class RecordingView : public RepairRunView {
 public:
  std::vector<platform::Path> items;
  platform::Path output_folder;
  TextRepairLog log;
  std::u16string status;
  std::vector<bool> bold;  // per character of the status text
  std::map<ViewButton, bool> buttons{{ViewButton::kNext, false},
                                     {ViewButton::kStop, true},
                                     {ViewButton::kBack, false},
                                     {ViewButton::kExit, false}};
  std::vector<std::u16string> messages;
  struct Completion {
    platform::Path folder;
    int failed;
    int count;
  };
  std::vector<Completion> completions;
  bool thread_cleared = false;
  std::atomic<bool> stop{false};

  int ItemCount() override { return static_cast<int>(items.size()); }
  platform::Path ItemText(int index) override { return items.at(static_cast<size_t>(index)); }
  platform::Path OutputFolder() override { return output_folder; }
  std::atomic<bool>& StopRequested() override { return stop; }
  void SetStatusText(const std::u16string& text) override {
    status = text;
    bold.assign(text.size(), false);
  }
  void ToggleStatusBold(BoldRange range) override {
    bool all_bold = true;
    for (int i = range.first; i <= range.last; ++i) all_bold = all_bold && bold.at(i);
    for (int i = range.first; i <= range.last; ++i) bold.at(i) = !all_bold;
  }
  RepairLog& Log() override { return log; }
  void ShowButton(ViewButton button, bool visible) override { buttons[button] = visible; }
  void ShowCompletionDialog(const platform::Path& folder, int failed, int count) override {
    completions.push_back({folder, failed, count});
  }
  void ShowMessage(const std::u16string& text) override { messages.push_back(text); }
  void ClearRunThread() override { thread_cleared = true; }

  std::u16string BoldText() const {
    std::u16string text;
    for (size_t i = 0; i < status.size(); ++i) {
      if (bold[i]) text.push_back(status[i]);
    }
    return text;
  }
};

}  // namespace vellomir::testing

#endif  // VELLOMIR_TESTS_ENGINE_RECORDING_VIEW_H_
