#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "engine/repair_engine.h"
#include "support/faulty_file_system.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ReadFile;
using testing::ScopedTempFolder;
using testing::TempDir;
using testing::U16;
using testing::U8;
using testing::WriteFile;
using testing::ZipBuilder;

const std::string kMimetype = "application/vnd.oasis.opendocument.spreadsheet";

const std::string kManifest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
    "manifest:version=\"1.3\">"
    "<manifest:file-entry manifest:full-path=\"/\" manifest:version=\"1.3\" "
    "manifest:media-type=\"application/vnd.oasis.opendocument.spreadsheet\"/>"
    "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>"
    "</manifest:manifest>";

// The content of a one-sheet spreadsheet with `rows` rows.
std::string SpreadsheetContent(int rows) {
  std::string content =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
      "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
      "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
      "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.3\">"
      "<office:body><office:spreadsheet><table:table table:name=\"Sheet1\">";
  for (int i = 0; i < rows; ++i) {
    content += "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"" +
               std::to_string(i) + "\"><text:p>" + std::to_string(i) +
               "</text:p></table:table-cell></table:table-row>";
  }
  return content + "</table:table></office:spreadsheet></office:body></office:document-content>";
}

// A sound OpenDocument spreadsheet as LibreOffice lays it out: mimetype stored first, the other
// members deflated with data descriptors. `content` replaces content.xml's bytes when given.
std::string SmallDocument(std::optional<std::string> content = std::nullopt) {
  ZipBuilder zip;
  ZipBuilder::Member mimetype;
  mimetype.name = "mimetype";
  mimetype.data = kMimetype;
  mimetype.method = 0;
  zip.Add(mimetype);
  ZipBuilder::Member content_member;
  content_member.name = "content.xml";
  content_member.data = content.value_or(SpreadsheetContent(200));
  content_member.descriptor = true;
  zip.Add(content_member);
  ZipBuilder::Member manifest;
  manifest.name = "META-INF/manifest.xml";
  manifest.data = kManifest;
  manifest.descriptor = true;
  zip.Add(manifest);
  zip.Finish();
  return zip.bytes();
}

// One document repaired by one engine, as the batch run does it.
struct Repair {
  bool saved = false;
  std::u16string log;
  FileOutcome outcome;
};

Repair RepairOne(const std::string& source, const std::string& output_folder,
                 const RepairOptions& options = {}) {
  Repair result;
  TextRepairLog log;
  {
    CRepairEngine engine(options);
    result.saved = engine.RepairFile(U16(source), U16(output_folder), &log);
    result.outcome = engine.Outcome();
  }
  result.log = log.Text();
  return result;
}

std::u16string Lines(std::initializer_list<std::u16string> lines) {
  std::u16string text;
  for (const std::u16string& line : lines) text += line + u"\r\n";
  return text;
}

std::u16string SevenLines(const std::string& result) {
  return Lines({u"Opening file..", u"Opening file Done..", u"Extracting file content..",
                u"Extracting file content Done..", u"Making new file..", u"Making new file Done..",
                u"Repaired file name : " + U16(result)});
}

class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFile(source_dir_ / "Book.ods", SmallDocument()));
    output_ = out_dir_.path() + "/";
  }
  // Nothing of the workspace is left in the temporary folder but the lock that guards it.
  void ExpectCleanTemp() {
    const auto left = testing::ListFilesRecursively(temp_.private_folder());
    EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"workspace.lock"});
    EXPECT_FALSE(testing::Exists(temp_.private_folder() + "TempDirZanth"));
  }

  ScopedTempFolder temp_;
  TempDir source_dir_;
  TempDir out_dir_;
  std::string output_;
};

TEST_F(PipelineTest, RepairsADocumentAndNamesTheResult) {
  const std::string before = *ReadFile(source_dir_ / "Book.ods");
  const Repair first = RepairOne(source_dir_ / "Book.ods", output_);
  EXPECT_TRUE(first.saved);
  EXPECT_EQ(first.log, SevenLines(output_ + "REC_Book.ods"));
  EXPECT_TRUE(testing::Exists(output_ + "REC_Book.ods"));
  ExpectCleanTemp();

  const Repair second = RepairOne(source_dir_ / "Book.ods", output_);
  EXPECT_EQ(second.log, SevenLines(output_ + "REC_BOOK(1).ODS"));
  EXPECT_EQ(ReadFile(output_ + "REC_Book.ods"), ReadFile(output_ + "REC_BOOK(1).ODS"));
  EXPECT_EQ(ReadFile(source_dir_ / "Book.ods"), before);  // the source is never changed
  EXPECT_EQ(testing::ListFilesRecursively(out_dir_.path()),
            (std::vector<std::string>{"REC_BOOK(1).ODS", "REC_Book.ods"}));
}

// Damaged parts are completed between extraction and packing, with lines of their own; a sound
// document gives the same lines with or without the step, and the step can be turned off.
TEST_F(PipelineTest, CompletesDamagedPartsAndSaysSo) {
  const std::string cut = SpreadsheetContent(200).substr(0, 3000);
  ASSERT_TRUE(WriteFile(source_dir_ / "Cut.ods", SmallDocument(cut)));
  const Repair completed = RepairOne(source_dir_ / "Cut.ods", output_);
  std::u16string expected = SevenLines(output_ + "REC_Cut.ods");
  expected.insert(expected.find(u"Making new file..\r\n"),
                  u"Completing damaged parts..\r\nPart completed : content.xml\r\n"
                  u"Completing damaged parts Done..\r\n");
  EXPECT_EQ(completed.log, expected);
  ASSERT_EQ(completed.outcome.completion.parts.size(), 1u);
  EXPECT_GT(completed.outcome.completion.parts[0].rows_kept, 10);

  const Repair plain = RepairOne(source_dir_ / "Cut.ods", output_, RepairOptions{false});
  EXPECT_EQ(plain.log, SevenLines(output_ + "REC_CUT(1).ODS"));
  EXPECT_TRUE(plain.outcome.completion.parts.empty());

  const Repair sound = RepairOne(source_dir_ / "Book.ods", output_);
  EXPECT_EQ(sound.log, SevenLines(output_ + "REC_Book.ods"));
  EXPECT_TRUE(sound.outcome.completion.odf_package);
  EXPECT_TRUE(sound.outcome.completion.parts.empty());
}

TEST_F(PipelineTest, ASourceThatCannotBeOpenedGivesTwoLinesAndNoResult) {
  ASSERT_TRUE(WriteFile(source_dir_ / "locked.ods", SmallDocument()));
  const int fd = ::open((source_dir_ / "locked.ods").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  for (const std::string& source : {source_dir_ / "missing.ods", source_dir_ / "locked.ods"}) {
    SCOPED_TRACE(source);
    const Repair repair = RepairOne(source, output_);
    EXPECT_FALSE(repair.saved);
    EXPECT_EQ(repair.log, Lines({u"Opening file..", u"Opening file Fail.."}));
  }
  ::close(fd);
  EXPECT_TRUE(testing::ListFilesRecursively(out_dir_.path()).empty());
  ExpectCleanTemp();
}

TEST_F(PipelineTest, ASourceWithoutMembersGivesAnEmptyResult) {
  ASSERT_TRUE(WriteFile(source_dir_ / "nothing.ods", std::string(5000, 'z')));
  const Repair repair = RepairOne(source_dir_ / "nothing.ods", output_);
  EXPECT_EQ(repair.log, SevenLines(output_ + "REC_nothing.ods"));
  const auto result = ReadFile(output_ + "REC_nothing.ods");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->size(), 22u);  // the end record alone
}

TEST_F(PipelineTest, StaleScratchFilesNeverReachAResult) {
  const std::string t = temp_.private_folder();
  ::mkdir(t.c_str(), 0700);
  testing::MakeFolders(t + "TempDirZanth");
  ASSERT_TRUE(WriteFile(t + "TempDirZanth/stale.xml", "from an aborted run"));
  ASSERT_TRUE(WriteFile(t + "temp12swe.ods", "stale packed result"));
  ASSERT_TRUE(WriteFile(t + "temp12temp.zip", "stale scratch"));
  const Repair repair = RepairOne(source_dir_ / "Book.ods", output_);
  EXPECT_TRUE(repair.saved);
  const std::string result = *ReadFile(output_ + "REC_Book.ods");
  EXPECT_EQ(result.find("stale"), std::string::npos);
  EXPECT_NE(result.find("content.xml"), std::string::npos);
  ExpectCleanTemp();
}

TEST_F(PipelineTest, WithoutAPrivateTemporaryFolderNothingIsRepaired) {
  ::rmdir(temp_.private_folder().c_str());
  TempDir elsewhere;
  const std::string name = temp_.private_folder().substr(0, temp_.private_folder().size() - 1);
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), name.c_str()), 0);
  const Repair repair = RepairOne(source_dir_ / "Book.ods", output_);
  EXPECT_EQ(repair.log, Lines({u"Opening file..", u"Opening file Fail.."}));
  EXPECT_TRUE(testing::ListFilesRecursively(elsewhere.path()).empty());
}

// Failures after the extraction are reported, and leave nothing under a REC_ name.
TEST_F(PipelineTest, PackingAndSavingFailuresAreReported) {
  const std::u16string five =
      Lines({u"Opening file..", u"Opening file Done..", u"Extracting file content..",
             u"Extracting file content Done..", u"Making new file.."});
  struct Case {
    const char* what;
    std::function<void(testing::FaultyFileSystem&)> arrange;
    std::u16string log;
  };
  const Case cases[] = {
      {"the packed archive cannot be created",
       [](testing::FaultyFileSystem& f) { f.refuse_create = {"temp12swe.ods"}; },
       five + u"Making new file Fail..\r\n"},
      {"the packed archive runs out of disk",
       [](testing::FaultyFileSystem& f) {
         f.size_faults = {{"temp12swe.ods", 100}};
       },
       five + u"Making new file Fail..\r\n"},
      {"the output folder takes no new file",
       [](testing::FaultyFileSystem& f) { f.refuse_pending = {"/"}; },
       five + u"Making new file Done..\r\nSaving repaired file Fail..\r\n"},
      {"the copy runs out of disk midway",
       [&](testing::FaultyFileSystem& f) {
         f.size_faults = {{out_dir_.path(), 300}};
       },
       five + u"Making new file Done..\r\nSaving repaired file Fail..\r\n"},
      {"the result cannot be named", [](testing::FaultyFileSystem& f) { f.refuse_publish = true; },
       five + u"Making new file Done..\r\nSaving repaired file Fail..\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::ScopedFaults faults;
    c.arrange(faults.faults);
    const Repair repair = RepairOne(source_dir_ / "Book.ods", output_);
    EXPECT_FALSE(repair.saved);
    EXPECT_EQ(repair.log, c.log);
    EXPECT_TRUE(testing::ListFilesRecursively(out_dir_.path()).empty());
    ExpectCleanTemp();
  }
  // The output folder gone altogether.
  const Repair gone = RepairOne(source_dir_ / "Book.ods", output_ + "missing/");
  EXPECT_EQ(gone.log, five + u"Making new file Done..\r\nSaving repaired file Fail..\r\n");
}

// Two runs of the same user share the workspace's names: the second waits for the first to finish
// its document instead of deleting its files.
TEST_F(PipelineTest, ASecondRunWaitsForTheWorkspace) {
  int held[2];
  int release[2];
  ASSERT_EQ(::pipe(held), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    {
      CRepairEngine engine;
      char byte = 'h';
      if (::write(held[1], &byte, 1) != 1) ::_exit(1);
      if (::read(release[0], &byte, 1) != 1) ::_exit(1);
    }
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(held[0], &byte, 1), 1);
  std::atomic<bool> constructed{false};
  std::thread second([&] {
    CRepairEngine engine;
    constructed = true;
  });
  ::usleep(200000);
  EXPECT_FALSE(constructed.load());  // still waiting for the other process
  ASSERT_EQ(::write(release[1], "r", 1), 1);
  second.join();
  EXPECT_TRUE(constructed.load());
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
}

TEST_F(PipelineTest, ANameTakenBetweenTheTestAndTheCopyIsLeftAlone) {
  testing::ScopedFaults faults;
  bool planted = false;
  faults.faults.before = [&](const char* operation, const std::string&) {
    // Another program creates the candidate after it was found free, just before the copy is
    // given that name.
    if (!planted && std::string(operation) == "Publish") {
      planted = true;
      WriteFile(output_ + "REC_Book.ods", "another program's file");
    }
  };
  const Repair repair = RepairOne(source_dir_ / "Book.ods", output_);
  EXPECT_TRUE(repair.saved);
  EXPECT_EQ(ReadFile(output_ + "REC_Book.ods"), "another program's file");
  EXPECT_EQ(repair.outcome.result_path, U16(output_ + "REC_BOOK(1).ODS"));
}

}  // namespace
}  // namespace vellomir
