#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

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
    PutSource("Book.ods", SmallDocument());
    output_ = out_dir_.path() + "/";
  }
  // Whatever a test does, the repair never changes a source document.
  void TearDown() override {
    for (const auto& [path, bytes] : sources_) EXPECT_EQ(ReadFile(path), bytes) << path;
  }
  // Writes a source document and remembers its bytes.
  std::string PutSource(const std::string& name, const std::string& bytes) {
    const std::string path = source_dir_ / name;
    EXPECT_TRUE(WriteFile(path, bytes));
    sources_[path] = bytes;
    return path;
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
  std::map<std::string, std::string> sources_;
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
// document gives the same lines with or without the step, and the step can be turned off. The
// cut content.xml here is a whole member with a matching CRC-32, as another tool's repair leaves
// one: a sound container does not make a sound part, so every XML part is checked.
TEST_F(PipelineTest, CompletesDamagedPartsAndSaysSo) {
  const std::string cut = SpreadsheetContent(200).substr(0, 3000);
  PutSource("Cut.ods", SmallDocument(cut));
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

// A completed part that cannot be written leaves the part as it was salvaged: no completion line,
// and no half-written new version in the result.
TEST_F(PipelineTest, ACompletionThatCannotBeWrittenLeavesThePartAsSalvaged) {
  const std::string cut = SpreadsheetContent(200).substr(0, 3000);
  const std::string source = PutSource("Cut.ods", SmallDocument(cut));
  struct Case {
    const char* what;
    std::function<void(testing::FaultyFileSystem&)> arrange;
  };
  const Case cases[] = {
      {"its new version cannot be created",
       [](testing::FaultyFileSystem& f) { f.refuse_create = {"content.xml~"}; }},
      {"the disk fills up while it is written",
       [](testing::FaultyFileSystem& f) {
         f.size_faults = {{"content.xml~", 1000}};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Repair repair;
    {
      testing::ScopedFaults faults;
      c.arrange(faults.faults);
      repair = RepairOne(source, output_);
    }
    EXPECT_EQ(repair.log, SevenLines(output_ + "REC_Cut.ods"));
    std::string problem;
    const auto listing = testing::ReadZipListingFile(output_ + "REC_Cut.ods", &problem);
    ASSERT_TRUE(listing) << problem;
    EXPECT_EQ(testing::EntryNames(*listing),
              (std::vector<std::string>{"mimetype", "META-INF/manifest.xml", "content.xml"}));
    for (const auto& entry : listing->entries) {
      if (entry.name == "content.xml") {
        EXPECT_EQ(testing::Inflate(entry.data), cut);
      }
    }
    ExpectCleanTemp();
    ::unlink((output_ + "REC_Cut.ods").c_str());
  }
}

TEST_F(PipelineTest, ASourceThatCannotBeOpenedGivesTwoLinesAndNoResult) {
  PutSource("locked.ods", SmallDocument());
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
  PutSource("nothing.ods", std::string(5000, 'z'));
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

const RepairOptions kWithoutCompletion{false};

// A document of five members across two 64 KiB blocks, with the places a fault can hit.
struct FaultDocument {
  std::string bytes;
  std::map<std::string, std::string> members;  // name -> uncompressed data
  std::map<std::string, ZipBuilder::Placed> placed;
};

FaultDocument MakeFaultDocument() {
  FaultDocument document;
  ZipBuilder zip;
  const auto add = [&](const std::string& name, const std::string& data, uint16_t method,
                       bool descriptor) {
    ZipBuilder::Member member;
    member.name = name;
    member.data = data;
    member.method = method;
    member.descriptor = descriptor;
    document.members[name] = data;
    document.placed[name] = zip.Add(member);
  };
  add("mimetype", kMimetype, 0, false);
  add("content.xml", testing::TextRows(400, 11), 8, true);
  add("Pictures/a.png", testing::RandomBytes(100000, 5), 0, false);
  add("styles.xml", testing::TextRows(60, 3), 8, false);
  add("META-INF/manifest.xml", "<manifest/>", 8, true);
  zip.Finish();
  document.bytes = zip.bytes();
  return document;
}

// The members of a result, name -> uncompressed data, read as a zip tool reads them.
std::map<std::string, std::string> ResultMembers(const std::string& path) {
  std::string problem;
  auto members = testing::ReadZipMembersFile(path, &problem);
  EXPECT_TRUE(members) << problem;
  return members.value_or(std::map<std::string, std::string>{});
}

std::vector<std::string> Names(const std::map<std::string, std::string>& members) {
  std::vector<std::string> names;
  for (const auto& [name, data] : members) names.push_back(name);
  return names;
}

// Faults of the source and of the disks, from the scan to the copy into the output folder. Each
// ends with its exact log lines and either a whole, consistent result or nothing at all under a
// REC_ name; nothing stays in the temporary folder and the source is never changed. The
// completion of damaged parts is left out, so that what the faults left is seen as it is.
TEST_F(PipelineTest, FaultsOfTheSourceAndOfTheDisksEndCleanly) {
  const FaultDocument document = MakeFaultDocument();
  const std::string source = PutSource("Book.ods", document.bytes);
  const std::u16string five =
      Lines({u"Opening file..", u"Opening file Done..", u"Extracting file content..",
             u"Extracting file content Done..", u"Making new file.."});
  const std::u16string saved = SevenLines(output_ + "REC_Book.ods");
  const std::u16string not_packed = five + u"Making new file Fail..\r\n";
  const std::u16string not_saved =
      five + u"Making new file Done..\r\nSaving repaired file Fail..\r\n";
  const std::vector<std::string> all = Names(document.members);
  // Runs `change` once, when the salvage creates its first member file: after the scan, before
  // any member is copied.
  const auto when_extracting = [](testing::FaultyFileSystem& f, std::function<void()> change) {
    f.before = [change, done = false](const char* operation, const std::string& path) mutable {
      if (!done && std::string(operation) == "CreateFile" &&
          path.find("TempDirZanth") != std::string::npos) {
        done = true;
        change();
      }
    };
  };
  // The members whose files stay within `capacity` bytes, and those whose one-entry scratch
  // archive does (every stored member, and deflated ones whose archive fits).
  const auto members_up_to = [&](size_t capacity) {
    std::vector<std::string> names;
    for (const auto& [name, data] : document.members) {
      if (data.size() <= capacity) names.push_back(name);
    }
    return names;
  };
  const auto scratch_up_to = [&](size_t capacity) {
    std::vector<std::string> names;
    for (const auto& [name, placed] : document.placed) {
      const bool stored = name == "mimetype" || name == "Pictures/a.png";
      const size_t archive = placed.data_end - placed.header_offset + 46 + name.size() + 22;
      if (stored || archive <= capacity) names.push_back(name);
    }
    return names;
  };
  const size_t picture_data = document.placed.at("Pictures/a.png").data_offset;
  const size_t bad_sector = picture_data + 70000;
  const size_t content_payload = document.placed.at("content.xml").payload.size();

  struct Case {
    const char* what;
    std::function<void(testing::FaultyFileSystem&)> arrange;
    std::u16string log;
    // The result's members; none when no result may exist.
    std::optional<std::vector<std::string>> members;
    // Members that may come out cut short, each checked by `check`; every other one is whole.
    std::vector<std::string> partial = {};
    std::function<void(const std::map<std::string, std::string>&)> check = {};
  };
  const Case cases[] = {
      {"a bad sector inside the picture: the rest of its block is still read",
       [&](testing::FaultyFileSystem& f) {
         f.read_faults = {{"Book.ods", static_cast<int64_t>(bad_sector),
                           static_cast<int64_t>(bad_sector + 512)}};
       },
       saved,
       all,
       {"Pictures/a.png"},
       [&](const std::map<std::string, std::string>& result) {
         const std::string& picture = result.at("Pictures/a.png");
         // Everything up to the unreadable piece of the sector stays.
         EXPECT_GT(picture.size(), 70000u - 4096u);
         EXPECT_LE(picture.size(), 70000u);
         EXPECT_EQ(picture, document.members.at("Pictures/a.png").substr(0, picture.size()));
       }},
      {"the source shrinks between the scan and the copy",
       [&](testing::FaultyFileSystem& f) {
         const size_t cut = document.placed.at("content.xml").data_offset + content_payload / 2;
         when_extracting(f, [source, cut] { ASSERT_EQ(::truncate(source.c_str(), cut), 0); });
       },
       saved,
       std::vector<std::string>{"content.xml", "mimetype"},
       {"content.xml"},
       [&](const std::map<std::string, std::string>& result) {
         const std::string& content = result.at("content.xml");
         EXPECT_GT(content.size(), 0u);
         EXPECT_LT(content.size(), document.members.at("content.xml").size());
         EXPECT_EQ(content, document.members.at("content.xml").substr(0, content.size()));
       }},
      {"the source vanishes between the scan and the copy",
       [&](testing::FaultyFileSystem& f) {
         when_extracting(f, [&f] { f.read_faults = {{"Book.ods", 0}}; });
       },
       // A stored member's file is made before its first read: it comes out empty.
       saved,
       std::vector<std::string>{"mimetype"},
       {"mimetype"},
       [](const std::map<std::string, std::string>& result) {
         EXPECT_EQ(result.at("mimetype"), "");
       }},
      {"member files of the workspace fail after 2,000 bytes",
       [](testing::FaultyFileSystem& f) {
         f.size_faults = {{"TempDirZanth", 2000}};
       },
       saved, members_up_to(2000)},
      {"the scratch archive fails after 1,000 bytes",
       [](testing::FaultyFileSystem& f) {
         f.size_faults = {{"temp12temp.zip", 1000}};
       },
       saved, scratch_up_to(1000)},
      {"the packed archive cannot be created",
       [](testing::FaultyFileSystem& f) { f.refuse_create = {"temp12swe.ods"}; }, not_packed,
       std::nullopt},
      {"the packed archive runs out of disk",
       [](testing::FaultyFileSystem& f) {
         f.size_faults = {{"temp12swe.ods", 100}};
       },
       not_packed, std::nullopt},
      {"the packed archive's central directory cannot be written",
       [&](testing::FaultyFileSystem& f) {
         f.size_faults = {{"temp12swe.ods", document.bytes.size() - 200}};
       },
       not_packed, std::nullopt},
      {"the output folder takes no new file",
       [](testing::FaultyFileSystem& f) { f.refuse_pending = {"/"}; }, not_saved, std::nullopt},
      {"the copy runs out of disk midway",
       [&](testing::FaultyFileSystem& f) {
         f.size_faults = {{out_dir_.path(), 300}};
       },
       not_saved, std::nullopt},
      {"the result cannot be named", [](testing::FaultyFileSystem& f) { f.refuse_publish = true; },
       not_saved, std::nullopt},
      {"the output folder is removed during the extraction",
       [&](testing::FaultyFileSystem& f) {
         when_extracting(f, [&] { ASSERT_EQ(::rmdir(out_dir_.path().c_str()), 0); });
       },
       not_saved, std::nullopt},
      {"the output folder is removed while the copy waits for its name",
       [&](testing::FaultyFileSystem& f) {
         f.before = [&](const char* operation, const std::string&) {
           if (std::string(operation) == "Publish") ::rmdir(out_dir_.path().c_str());
         };
       },
       not_saved, std::nullopt},
      // As root the kernel lets a write through a read-only folder; the seam then refuses the new
      // file as the system would refuse it to anybody else.
      {"the output folder is made read-only during the extraction",
       [&](testing::FaultyFileSystem& f) {
         when_extracting(f, [&] {
           ASSERT_EQ(::chmod(out_dir_.path().c_str(), 0555), 0);
           if (::geteuid() == 0) f.refuse_pending = {out_dir_.path()};
         });
       },
       not_saved, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::mkdir(out_dir_.path().c_str(), 0700);
    ::chmod(out_dir_.path().c_str(), 0700);
    PutSource("Book.ods", document.bytes);
    Repair repair;
    {
      testing::ScopedFaults faults;
      c.arrange(faults.faults);
      repair = RepairOne(source, output_, kWithoutCompletion);
    }
    ::chmod(out_dir_.path().c_str(), 0700);
    EXPECT_EQ(repair.log, c.log);
    EXPECT_EQ(repair.saved, c.members.has_value());
    ExpectCleanTemp();
    if (c.what != std::string("the source shrinks between the scan and the copy")) {
      EXPECT_EQ(ReadFile(source), document.bytes);
    }
    if (!c.members) {
      EXPECT_TRUE(testing::ListFilesRecursively(out_dir_.path()).empty());
      continue;
    }
    const std::string result = output_ + "REC_Book.ods";
    EXPECT_EQ(testing::ListFilesRecursively(out_dir_.path()),
              std::vector<std::string>{"REC_Book.ods"});
    EXPECT_EQ(testing::ZipToolComplaints(result), "");
    const std::map<std::string, std::string> members = ResultMembers(result);
    EXPECT_EQ(Names(members), *c.members);
    for (const auto& [name, data] : members) {
      const bool may_be_cut =
          std::find(c.partial.begin(), c.partial.end(), name) != c.partial.end();
      if (!may_be_cut) {
        EXPECT_EQ(data, document.members.at(name)) << name;
      }
    }
    if (c.check) c.check(members);
    ::unlink(result.c_str());
  }
  // The output folder gone altogether.
  const Repair gone = RepairOne(source, output_ + "missing/", kWithoutCompletion);
  EXPECT_EQ(gone.log, not_saved);
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
