#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/repair_engine.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ScopedTempFolder;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;
using testing::ZipBuilder;

// The view of a run without a window: it records what the run asked of it.
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

std::string Document(int seed) {
  ZipBuilder zip;
  ZipBuilder::Member content;
  content.name = "content.xml";
  content.data = testing::TextRows(100, static_cast<uint32_t>(seed));
  content.descriptor = true;
  zip.Add(content);
  zip.Finish();
  return zip.bytes();
}

std::u16string Header(int number, int count, const platform::Path& source) {
  return u"==================================================================\r\n"
         u"Processing File " +
         U16(std::to_string(number)) + u" of " + U16(std::to_string(count)) + u" \r\nFile Name : " +
         source + u"\r\n";
}

std::u16string Steps(const platform::Path& result) {
  return u"Opening file..\r\nOpening file Done..\r\nExtracting file content..\r\n"
         u"Extracting file content Done..\r\nMaking new file..\r\nMaking new file Done..\r\n"
         u"Repaired file name : " +
         result + u"\r\n";
}

class BatchRunTest : public ::testing::Test {
 protected:
  // Lists `count` documents named doc1.ods ... in the view.
  void ListDocuments(int count) {
    for (int i = 1; i <= count; ++i) {
      const std::string path = sources_ / ("doc" + std::to_string(i) + ".ods");
      ASSERT_TRUE(WriteFile(path, Document(i)));
      view_.items.push_back(U16(path));
    }
    view_.output_folder = U16(out_.path() + "/");
  }
  platform::Path Result(int i) const {
    return U16(out_.path() + "/REC_doc" + std::to_string(i) + ".ods");
  }
  // Sets the stop request while file `number` is being repaired: when its header appears.
  void StopDuring(int number) {
    const std::u16string marker = u"Processing File " + U16(std::to_string(number)) + u" of";
    view_.log.on_change = [this, marker](std::u16string_view, bool replaced) {
      if (replaced && view_.log.Text().find(marker) != std::u16string::npos) view_.stop = true;
    };
  }

  ScopedTempFolder temp_;
  TempDir sources_;
  TempDir out_;
  RecordingView view_;
};

TEST_F(BatchRunTest, OneFileGivesElevenLinesAndTheCompletionDialog) {
  ListDocuments(1);
  EXPECT_EQ(RepairThreadProc(view_), 1);
  EXPECT_EQ(view_.log.Text(),
            u"Repairing process started\r\n" + Header(1, 1, view_.items[0]) + Steps(Result(1)));
  ASSERT_EQ(view_.completions.size(), 1u);
  EXPECT_EQ(view_.completions[0].folder, view_.output_folder);
  EXPECT_EQ(view_.completions[0].failed, 0);
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(view_.status, kCompletionText);
  EXPECT_EQ(view_.BoldText(), u"BackExit");
  EXPECT_EQ(view_.status.substr(61, 4), u"Back");
  EXPECT_EQ(view_.status.substr(128, 4), u"Exit");
  EXPECT_EQ(view_.buttons, (std::map<ViewButton, bool>{{ViewButton::kNext, false},
                                                       {ViewButton::kStop, false},
                                                       {ViewButton::kBack, true},
                                                       {ViewButton::kExit, true}}));
  EXPECT_TRUE(view_.thread_cleared);
  // Each step line asked for the end of the log to be shown; the header did not.
  EXPECT_EQ(view_.log.scroll_requests(), 7);
}

TEST_F(BatchRunTest, AStopTakesEffectOnlyBetweenFiles) {
  ListDocuments(5);
  StopDuring(2);
  RunRepairBatch(view_);
  EXPECT_EQ(view_.log.Text(), u"Repairing process started\r\n" + Header(1, 5, view_.items[0]) +
                                  Steps(Result(1)) + Header(2, 5, view_.items[1]) +
                                  Steps(Result(2)));
  EXPECT_EQ(view_.messages, std::vector<std::u16string>{u"Saving abort by user"});
  EXPECT_TRUE(view_.completions.empty());
  EXPECT_EQ(view_.status, kCompletionText);
  EXPECT_TRUE(view_.buttons[ViewButton::kBack] && view_.buttons[ViewButton::kExit]);
  EXPECT_EQ(testing::ListFilesRecursively(out_.path()).size(), 2u);
}

TEST_F(BatchRunTest, AStopDuringTheLastFileStillEndsWithTheStopMessage) {
  ListDocuments(3);
  StopDuring(3);
  RunRepairBatch(view_);
  EXPECT_EQ(view_.messages, std::vector<std::u16string>{u"Saving abort by user"});
  EXPECT_TRUE(view_.completions.empty());
  EXPECT_EQ(testing::ListFilesRecursively(out_.path()).size(), 3u);
}

TEST_F(BatchRunTest, FilesThatGiveNoResultAreCountedAndReported) {
  ListDocuments(4);
  ::unlink(testing::U8(view_.items[1]).c_str());  // deleted after it was listed
  ASSERT_TRUE(WriteFile(testing::U8(view_.items[2]), ""));
  ::chmod(testing::U8(view_.items[2]).c_str(), 0);  // not openable
  RunRepairBatch(view_);
  EXPECT_EQ(view_.log.Text(), u"Repairing process started\r\n" + Header(1, 4, view_.items[0]) +
                                  Steps(Result(1)) + Header(2, 4, view_.items[1]) +
                                  Header(3, 4, view_.items[2]) +
                                  u"Opening file..\r\nOpening file Fail..\r\n" +
                                  Header(4, 4, view_.items[3]) + Steps(Result(4)));
  ASSERT_EQ(view_.completions.size(), 1u);
  EXPECT_EQ(view_.completions[0].failed, 2);
  EXPECT_EQ(view_.completions[0].count, 4);
  EXPECT_EQ(view_.status,
            u"File repair and saving process completed with errors: 2 of 4 file(s) could not be "
            u"repaired. Click Back to go back to main window for repairing more file(s) or click "
            u"Exit to quit the application.");
  EXPECT_EQ(view_.BoldText(), u"BackExit");
  EXPECT_EQ(CompletionErrorMessage(2, 4),
            u"The repairing process completed with errors: 2 of 4 file(s) could not be repaired ");
}

TEST_F(BatchRunTest, ANewRunReplacesTheLogAndAnEmptyListEndsAtOnce) {
  view_.log.SetText(u"left over from an earlier run\r\n");
  view_.stop = true;  // a request left from before is cleared by the run
  RunRepairBatch(view_);
  EXPECT_EQ(view_.log.Text(), u"Repairing process started\r\n");
  ASSERT_EQ(view_.completions.size(), 1u);
  EXPECT_TRUE(view_.messages.empty());
}

}  // namespace
}  // namespace vellomir
