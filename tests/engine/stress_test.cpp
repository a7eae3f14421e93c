// Sources at the bounds of what the repair must bear: a sparse source of 1 GiB, 64 MiB of nothing
// but signatures, 100,000 tiny members, a member that inflates past the format's 4 GiB bound, and
// member names that try to climb out of the workspace. These tests check what comes out; how long
// it takes and how much memory it needs is measured by bench/stress_figures.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "engine/repair_engine.h"
#include "salvage/salvage.h"
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

constexpr char kSevenLinesStart[] =
    "Opening file..\r\nOpening file Done..\r\nExtracting file content..\r\n"
    "Extracting file content Done..\r\nMaking new file..\r\nMaking new file Done..\r\n"
    "Repaired file name : ";

ZipBuilder::Member Member(const std::string& name, const std::string& data, uint16_t method) {
  return ZipBuilder::Simple(name, data, method);
}

struct Repaired {
  std::u16string log;
  std::string result;  // the result's path, empty when none was saved
};

class StressTest : public ::testing::Test {
 protected:
  // Repairs `source` into the output folder; the source must come out unchanged.
  Repaired Repair(const std::string& source) {
    const auto before = testing::FileDigest(source);
    Repaired repaired;
    TextRepairLog log;
    {
      CRepairEngine engine;
      engine.RepairFile(U16(source), U16(out_.path() + "/"), &log);
      if (engine.Outcome().saved) repaired.result = U8(engine.Outcome().result_path);
    }
    repaired.log = log.Text();
    EXPECT_EQ(testing::FileDigest(source), before);
    const auto left = testing::ListFilesRecursively(temp_.private_folder());
    EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"workspace.lock"});
    return repaired;
  }

  ScopedTempFolder temp_;
  TempDir sources_;
  TempDir out_;
};

std::map<std::string, std::string> ResultMembers(const std::string& path) {
  std::string problem;
  auto members = testing::ReadZipMembersFile(path, &problem);
  EXPECT_TRUE(members) << problem;
  return members.value_or(std::map<std::string, std::string>{});
}

// A document at the start of a 1 GiB file whose rest is a hole, with one more member and the
// index at its very end: the scan reads all of it, and both members come out whole.
TEST_F(StressTest, ASparseSourceOfOneGibibyteRepairsWhole) {
  const std::string first = testing::TextRows(2000, 1);
  const std::string last = testing::TextRows(300, 2);
  ZipBuilder head;
  head.Add(Member("content.xml", first, 8));
  ZipBuilder tail;
  tail.Add(Member("late.xml", last, 0));
  const std::string path = sources_ / "sparse.ods";
  ASSERT_TRUE(WriteFile(path, head.bytes()));
  constexpr off_t kSize = off_t{1} << 30;
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, kSize), 0);
  const off_t tail_at = kSize - static_cast<off_t>(tail.size());
  ASSERT_EQ(::pwrite(fd, tail.bytes().data(), tail.size(), tail_at),
            static_cast<ssize_t>(tail.size()));
  ::close(fd);

  const Repaired repaired = Repair(path);
  EXPECT_EQ(repaired.log, U16(std::string(kSevenLinesStart) + out_.path() + "/REC_sparse.ods\r\n"));
  const std::map<std::string, std::string> members = ResultMembers(repaired.result);
  EXPECT_EQ(members,
            (std::map<std::string, std::string>{{"content.xml", first}, {"late.xml", last}}));
}

// Every kind of record signature, one after the other, and nothing else: 2.8 million headers, none
// of which names a member. The run ends with an empty result.
TEST_F(StressTest, SixtyFourMebibytesOfSignaturesGiveAnEmptyResult) {
  const std::string cycle = "PK\1\2PK\3\4PK\5\6PK\6\6PK\6\7PK\7\x08";
  std::string bytes;
  bytes.reserve(64u << 20);
  while (bytes.size() + cycle.size() <= (64u << 20)) bytes += cycle;
  const std::string path = sources_ / "signatures.ods";
  ASSERT_TRUE(WriteFile(path, bytes));

  const Repaired repaired = Repair(path);
  EXPECT_EQ(repaired.log,
            U16(std::string(kSevenLinesStart) + out_.path() + "/REC_signatures.ods\r\n"));
  EXPECT_EQ(ReadFile(repaired.result).value_or("").size(), 22u);  // the end record alone
}

// 100,000 members of a few bytes each: more than a container without Zip64 records can list. The
// result holds the first 65,535 in packing order, is consistent, and every one of them is whole.
TEST_F(StressTest, AHundredThousandTinyMembersFillOneWholeContainer) {
  constexpr int kMembers = 100000;
  ZipBuilder zip;
  for (int i = 0; i < kMembers; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%03d/m%06d", i % 1000, i);
    zip.Add(Member(name, std::to_string(i), 0));
  }
  const std::string path = sources_ / "tiny.ods";
  ASSERT_TRUE(WriteFile(path, zip.bytes()));

  const Repaired repaired = Repair(path);
  EXPECT_EQ(repaired.log, U16(std::string(kSevenLinesStart) + out_.path() + "/REC_tiny.ods\r\n"));
  const std::map<std::string, std::string> members = ResultMembers(repaired.result);
  EXPECT_EQ(members.size(), 65535u);
  for (const auto& [name, data] : members) {
    ASSERT_EQ(data, std::to_string(std::stoi(name.substr(6)))) << name;
  }
  EXPECT_EQ(testing::ZipToolComplaints(repaired.result), "");
}

// A deflated member whose size no header tells (flag bit 3, sizes 0, no descriptor: a member cut
// by the end of the source) is decoded until its stream ends, but never past 4 GiB - 1 bytes.
// Its file counts the bytes instead of storing them.
TEST(MemberBounds, AMemberOfUnknownSizeStopsAtFourGibibytesLessOne) {
  ScopedTempFolder temp;
  TempDir dir;
  ZipBuilder zip;
  const ZipBuilder::Member member = testing::EndlessDeflatedMember("huge.xml", 4097);
  ASSERT_GT(member.payload->size(), 0u);
  zip.Add(member);  // 4 GiB and 1 MiB of zeros
  ASSERT_TRUE(WriteFile(dir / "huge.ods", zip.bytes()));

  testing::ScopedFaults faults;
  faults.faults.count_only = {"TempDirZanth/huge.xml"};
  auto source = platform::Fs().OpenExclusiveRead(U16(dir / "huge.ods"));
  ASSERT_TRUE(source);
  std::vector<MemberRecord> members;
  ExtractMembers(*source, RepairWorkspace::Current(), nullptr, nullptr, &members);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].written_size, 0xFFFFFFFFu);
  EXPECT_EQ(members[0].outcome, MemberRecord::Outcome::kPartial);
}

// Names that climb out of the workspace, stored and deflated, through the whole repair: every
// file and folder the program creates, removes or renames lies in its private temporary folder
// or in the output folder, and the files land inside the workspace with the climbing parts
// dropped.
TEST_F(StressTest, MemberNamesThatClimbNeverLeaveTheWorkspace) {
  std::string deep;
  for (int i = 0; i < 70; ++i) deep += "../";
  const std::string escape = "vellomir-escape-" + std::to_string(::getpid());
  const std::vector<std::pair<std::string, std::string>> names = {
      {deep + escape + "-a.txt", escape + "-a.txt"},
      {"a/" + deep + escape + "-b.txt", "a/" + escape + "-b.txt"},
      {"..\\..\\..\\" + escape + "-c.txt", escape + "-c.txt"},
      {"/tmp/" + escape + "-d.txt", "tmp/" + escape + "-d.txt"},
      {"C:\\" + escape + "-e.txt", escape + "-e.txt"},
      {"./../TempDirZanth/../../temp12swe.ods", "TempDirZanth/temp12swe.ods"},
  };
  ZipBuilder zip;
  std::map<std::string, std::string> expected;
  for (const auto& [name, path] : names) {
    ASSERT_EQ(U8(WorkspaceNameOf(U16(name))), path);
    zip.Add(Member(name, "data of " + name, 0));
    expected[path] = "data of " + name;
    // The same name deflated, in a folder of its own.
    const std::string deflated = "deflated/" + name;
    zip.Add(Member(deflated, "data of " + deflated, 8));
    expected[U8(WorkspaceNameOf(U16(deflated)))] = "data of " + deflated;
  }
  const std::string source = sources_ / "climb.ods";
  ASSERT_TRUE(WriteFile(source, zip.bytes()));

  const std::string private_folder = temp_.private_folder();  // ends in "/"
  const std::string output = out_.path() + "/";
  std::vector<std::string> outside;
  testing::ScopedFaults faults;
  faults.faults.before = [&](const char* operation, const std::string& path) {
    static const std::vector<std::string> kChanges = {
        "CreateFile",     "DeleteFile",        "CreateFolder", "RemoveFolder",       "MoveFile",
        "MoveFileTarget", "CreatePendingFile", "Publish",      "SetNormalAttributes"};
    if (std::find(kChanges.begin(), kChanges.end(), operation) == kChanges.end()) return;
    const bool climbs = path.find("/../") != std::string::npos ||
                        path.find("/./") != std::string::npos ||
                        (path.size() >= 3 && path.substr(path.size() - 3) == "/..");
    const bool inside =
        path.rfind(private_folder, 0) == 0 || path.rfind(output, 0) == 0 || path + "/" == output;
    // Making the folders above the workspace, one by one from the root, fails harmlessly.
    const bool above =
        std::string(operation) == "CreateFolder" && private_folder.rfind(path + "/", 0) == 0;
    if (climbs || !(inside || above)) outside.push_back(std::string(operation) + " " + path);
  };
  const Repaired repaired = Repair(source);

  EXPECT_EQ(outside, std::vector<std::string>{});
  const auto left = testing::ListFilesRecursively(temp_.dir().path());
  EXPECT_TRUE(left.empty() ||
              left == std::vector<std::string>{"vellomir-" + std::to_string(::geteuid()) +
                                               "/workspace.lock"});
  EXPECT_EQ(testing::ListFilesRecursively(sources_.path()), std::vector<std::string>{"climb.ods"});
  EXPECT_FALSE(testing::Exists("/tmp/" + escape + "-a.txt"));
  EXPECT_FALSE(testing::Exists("/" + escape + "-a.txt"));
  ASSERT_FALSE(repaired.result.empty());
  EXPECT_EQ(ResultMembers(repaired.result), expected);
}

}  // namespace
}  // namespace vellomir
