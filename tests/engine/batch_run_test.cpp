#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "engine/recording_view.h"
#include "engine/repair_engine.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::RecordingView;
using testing::ScopedTempFolder;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;
using testing::ZipBuilder;

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
      source_bytes_[path] = Document(i);
      view_.items.push_back(U16(path));
    }
    view_.output_folder = U16(out_.path() + "/");
  }
  // A test that changes a listed source itself takes it out of the check below.
  void Changed(int index) { source_bytes_.erase(testing::U8(view_.items.at(index))); }
  // The run never changes a source document.
  void TearDown() override {
    for (const auto& [path, bytes] : source_bytes_) {
      EXPECT_EQ(testing::ReadFile(path), bytes) << path;
    }
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
  std::map<std::string, std::string> source_bytes_;
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
  Changed(1);
  Changed(2);
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

// The run on a worker thread, the stop set by another thread while file 2 of 4 is repaired, as
// the window's Stop button does (ThreadSanitizer checks the handover in the tsan build). The view
// holds file 2's end until the stop has been set, so that the stop surely comes during file 2.
class StopFromAnotherThreadView : public RecordingView {
 public:
  void FileDone(int index, const platform::Path&, const FileOutcome&) override {
    if (index != 1) return;
    std::unique_lock<std::mutex> lock(mutex_);
    second_file_done_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return stop_set_; });
  }
  // Run by the stopping thread.
  void StopDuringTheSecondFile() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return second_file_done_; });
    stop.store(true);
    stop_set_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool second_file_done_ = false;
  bool stop_set_ = false;
};

TEST(BatchRunThreads, AStopFromAnotherThreadEndsTheRunAfterTheCurrentFile) {
  ScopedTempFolder temp;
  TempDir sources;
  TempDir out;
  StopFromAnotherThreadView view;
  std::map<std::string, std::string> bytes;
  for (int i = 1; i <= 4; ++i) {
    const std::string path = sources / ("doc" + std::to_string(i) + ".ods");
    bytes[path] = Document(i);
    ASSERT_TRUE(WriteFile(path, bytes[path]));
    view.items.push_back(U16(path));
  }
  view.output_folder = U16(out.path() + "/");

  std::thread worker([&view] { RepairThreadProc(view); });
  std::thread stopper([&view] { view.StopDuringTheSecondFile(); });
  stopper.join();
  worker.join();

  EXPECT_EQ(view.messages, std::vector<std::u16string>{u"Saving abort by user"});
  EXPECT_TRUE(view.completions.empty());
  EXPECT_TRUE(view.thread_cleared);
  EXPECT_EQ(testing::ListFilesRecursively(out.path()),
            (std::vector<std::string>{"REC_doc1.ods", "REC_doc2.ods"}));
  EXPECT_EQ(view.log.Text().find(u"Processing File 3 of 4"), std::u16string::npos);
  for (const auto& [path, content] : bytes) EXPECT_EQ(testing::ReadFile(path), content);
}

}  // namespace
}  // namespace vellomir
