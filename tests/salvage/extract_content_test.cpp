#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include <gtest/gtest.h>

#include "salvage/salvage.h"
#include "support/faulty_file_system.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ReadFile;
using testing::ScopedTempFolder;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;
using testing::ZipBuilder;
using Outcome = MemberRecord::Outcome;

// What a salvage of some bytes left in the workspace.
struct Salvaged {
  std::map<std::string, std::string> files;  // path below the workspace -> contents
  std::vector<MemberRecord> members;
  std::vector<int64_t> headers;
  std::vector<int64_t> descriptors;
  std::vector<std::string> outside;  // files written anywhere else in the temporary folder

  std::string file(const std::string& name) const {
    const auto it = files.find(name);
    return it == files.end() ? "<missing>" : it->second;
  }
};

Salvaged Salvage(const std::string& bytes) {
  ScopedTempFolder temp;
  TempDir source_dir;
  EXPECT_TRUE(WriteFile(source_dir / "source.ods", bytes));
  auto source = platform::Fs().OpenExclusiveRead(U16(source_dir / "source.ods"));
  EXPECT_TRUE(source);
  Salvaged result;
  if (!source) return result;
  const RepairWorkspace workspace = RepairWorkspace::Current();
  ExtractMembers(*source, workspace, &result.headers, &result.descriptors, &result.members);
  for (const std::string& name : testing::ListFilesRecursively(temp.workspace_folder())) {
    result.files[name] = ReadFile(temp.workspace_folder() + name).value_or("<unreadable>");
  }
  for (const std::string& name : testing::ListFilesRecursively(temp.dir().path())) {
    const bool in_workspace = name.find("/TempDirZanth/") != std::string::npos;
    const bool scratch = name.size() >= 14 && name.substr(name.size() - 14) == "temp12temp.zip";
    if (!in_workspace && !scratch) result.outside.push_back(name);
  }
  return result;
}

ZipBuilder::Member Stored(const std::string& name, const std::string& data) {
  ZipBuilder::Member member;
  member.name = name;
  member.data = data;
  member.method = 0;
  return member;
}

ZipBuilder::Member Deflated(const std::string& name, const std::string& data,
                            bool descriptor = false) {
  ZipBuilder::Member member;
  member.name = name;
  member.data = data;
  member.descriptor = descriptor;
  return member;
}

const std::string kXml = testing::TextRows(300, 1);
const std::string kOther = testing::TextRows(120, 2);
const std::string kPicture = "\x89PNG\r\n\x1a\n" + testing::RandomBytes(3000, 3);

// ------------------------------------------------------------------------- scan and copy

TEST(SignatureScan, FindsHeadersWhereverTheyBegin) {
  // A header at block position 65,532 (its last four bytes), and one that straddles the boundary.
  for (size_t at : {65532u, 65534u, 65535u, 65536u}) {
    SCOPED_TRACE(at);
    ZipBuilder zip;
    zip.Raw(std::string(at, 'x'));
    zip.Add(Stored("a.txt", kOther));
    zip.Add(Deflated("content.xml", kXml, /*descriptor=*/true));
    zip.Finish();
    const Salvaged s = Salvage(zip.bytes());
    ASSERT_EQ(s.headers.size(), 2u);
    EXPECT_EQ(s.headers[0], static_cast<int64_t>(at));
    EXPECT_EQ(s.file("a.txt"), kOther);
    EXPECT_TRUE(s.file("content.xml") == kXml);
  }
}

TEST(SignatureScan, ReadsSourcesOfAnySizeWhole) {
  // 70,000 bytes: one block and a rest; 131,072 bytes: exactly two blocks, no rest.
  for (size_t total : {70000u, 131072u}) {
    SCOPED_TRACE(total);
    ZipBuilder probe;
    probe.Add(Stored("big.bin", ""));
    const size_t overhead = probe.size();
    const std::string data = testing::RandomBytes(total - overhead, 9);
    ZipBuilder zip;
    zip.Add(Stored("big.bin", data));
    ASSERT_EQ(zip.size(), total);
    const Salvaged s = Salvage(zip.bytes());
    EXPECT_TRUE(s.file("big.bin") == data);
    EXPECT_EQ(s.members.at(0).outcome, Outcome::kWhole);
  }
}

TEST(StoredMembers, EndWhereTheirDataEnd) {
  struct Case {
    const char* what;
    std::string bytes;
    std::map<std::string, std::string> expected;
  };
  std::vector<Case> cases;
  {
    ZipBuilder zip;
    zip.Add(Stored("a.txt", kOther));
    zip.Add(Stored("empty.txt", ""));
    zip.Add(Stored("b.txt", "after the empty one"));
    cases.push_back({"followed directly by the next header, and of size 0",
                     zip.bytes(),
                     {{"a.txt", kOther}, {"empty.txt", ""}, {"b.txt", "after the empty one"}}});
  }
  {
    const std::string tricky = kPicture.substr(0, 1000) + "PK\x03\x04" + kPicture.substr(1000);
    ZipBuilder zip;
    zip.Add(Stored("Thumbnails/thumbnail.png", tricky));
    zip.Add(Stored("b.txt", kOther));
    zip.Finish();
    cases.push_back({"holding PK\\3\\4 with true sizes",
                     zip.bytes(),
                     {{"Thumbnails/thumbnail.png", tricky}, {"b.txt", kOther}}});
  }
  {
    ZipBuilder zip;
    zip.Add(Stored("mimetype", "application/vnd.oasis.opendocument.spreadsheet"));
    zip.Add(Stored("last.txt", kOther));
    zip.Finish();
    cases.push_back(
        {"last before the central directory",
         zip.bytes(),
         {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"}, {"last.txt", kOther}}});
  }
  {
    ZipBuilder zip;
    zip.Add(Stored("last.txt", kOther));
    zip.Finish();
    std::string zeroed = zip.bytes();
    std::fill(zeroed.end() - 22 - 46 - 8, zeroed.end(), '\0');
    cases.push_back({"followed by a zeroed index", zeroed, {{"last.txt", kOther}}});
  }
  {
    ZipBuilder::Member damaged = Stored("a.txt", kOther);
    // A damaged size that runs past the next header: the next header ends the member.
    damaged.header_compressed_size = static_cast<uint32_t>(kOther.size() * 10);
    ZipBuilder zip;
    zip.Add(damaged);
    zip.Add(Stored("b.txt", "b"));
    zip.Add(Stored("c.txt", kPicture));
    cases.push_back({"with a size that runs past the next header",
                     zip.bytes(),
                     {{"a.txt", kOther}, {"b.txt", "b"}, {"c.txt", kPicture}}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(Salvage(c.bytes).files == c.expected);
  }
}

TEST(StoredMembers, NameLengthUpTo260IsTried) {
  const std::string long_name(260, 'n');
  const std::string too_long(261, 'm');
  ZipBuilder zip;
  zip.Add(Stored(long_name.substr(0, 200) + "/" + long_name.substr(201), "kept"));
  zip.Add(Stored(too_long.substr(0, 200) + "/" + too_long.substr(201), "passed over"));
  const Salvaged s = Salvage(zip.bytes());
  EXPECT_EQ(s.files.size(), 1u);
  EXPECT_EQ(s.members.at(0).outcome, Outcome::kWhole);
  EXPECT_EQ(s.members.at(1).outcome, Outcome::kPassedOver);
}

TEST(StoredMembers, SameNameTwice) {
  {
    ZipBuilder zip;
    zip.Add(Stored("a.txt", "first"));
    zip.Add(Stored("a.txt", "second"));
    const Salvaged s = Salvage(zip.bytes());
    EXPECT_EQ(s.file("a.txt"), "second");
    EXPECT_EQ(s.members.at(0).outcome, Outcome::kSuperseded);
    EXPECT_EQ(s.members.at(1).outcome, Outcome::kWhole);
  }
  {
    // A decoded member is read-only and stays, whoever runs the program.
    ZipBuilder zip;
    zip.Add(Deflated("a.txt", kXml, true));
    zip.Add(Stored("a.txt", "stored later"));
    const Salvaged s = Salvage(zip.bytes());
    EXPECT_TRUE(s.file("a.txt") == kXml);
    EXPECT_EQ(s.members.at(1).outcome, Outcome::kNotWritten);
  }
}

TEST(StoredMembers, KeepTheTimeTheirHeaderGives) {
  ScopedTempFolder temp;
  testing::ScopedEnv zone("TZ", "UTC");
  ::tzset();
  ZipBuilder::Member member = Stored("Thumbnails/thumbnail.png", kPicture);
  member.dos_date = static_cast<uint16_t>((2024 - 1980) << 9 | 2 << 5 | 29);  // 2024-02-29
  member.dos_time = static_cast<uint16_t>(23 << 11 | 59 << 5 | 58 / 2);       // 23:59:58
  ZipBuilder zip;
  zip.Add(member);
  TempDir source_dir;
  ASSERT_TRUE(WriteFile(source_dir / "s.ods", zip.bytes()));
  auto source = platform::Fs().OpenExclusiveRead(U16(source_dir / "s.ods"));
  ExtractMembers(*source, RepairWorkspace::Current(), nullptr, nullptr, nullptr);
  struct stat st {};
  ASSERT_EQ(::stat((temp.workspace_folder() + "Thumbnails/thumbnail.png").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1709251198);  // 2024-02-29 23:59:58 UTC
  ::unsetenv("TZ");
  ::tzset();
}

TEST(MemberNames, NeverLeaveTheWorkspace) {
  struct Case {
    std::string name;
    std::string path;
  };
  const Case cases[] = {
      {"Pictures/a.png", "Pictures/a.png"},
      {"Pictures\\b.png", "Pictures/b.png"},
      {"../../x.txt", "x.txt"},
      {"a/../../y.txt", "a/y.txt"},
      {"/etc/z.txt", "etc/z.txt"},
      {"C:\\Windows\\w.txt", "Windows/w.txt"},
      {"./dot//double.txt", "dot/double.txt"},
  };
  ZipBuilder zip;
  for (const Case& c : cases) zip.Add(Stored(c.name, "data of " + c.name));
  zip.Add(Stored("only/a/folder/", ""));
  zip.Add(Stored("..", "nothing"));
  const Salvaged s = Salvage(zip.bytes());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(s.file(c.path), "data of " + c.name);
    EXPECT_EQ(WorkspaceNameOf(U16(c.name)), U16(c.path));
  }
  EXPECT_EQ(s.files.size(), std::size(cases));
  EXPECT_TRUE(s.outside.empty());
}

TEST(MemberNames, BothSeparatorsNameTheSameFile) {
  ZipBuilder zip;
  zip.Add(Stored("Pictures/a.png", "forward"));
  zip.Add(Stored("Pictures\\a.png", "backward"));
  const Salvaged s = Salvage(zip.bytes());
  EXPECT_EQ(s.files, (std::map<std::string, std::string>{{"Pictures/a.png", "backward"}}));
}

// ------------------------------------------------------------------------ deflated members

TEST(DeflatedMembers, ComeOutWholeWhereverTheirEndIsKnown) {
  struct Case {
    const char* what;
    std::string bytes;
    MemberRecord::EndEvidence end;
  };
  std::vector<Case> cases;
  {
    ZipBuilder zip;
    zip.Add(Deflated("content.xml", kXml, /*descriptor=*/true));
    zip.Add(Stored("next.txt", "n"));
    cases.push_back({"bit 3, zero sizes, then its descriptor", zip.bytes(),
                     MemberRecord::EndEvidence::kOwnDescriptor});
  }
  {
    ZipBuilder zip;
    zip.Add(Deflated("content.xml", kXml));
    zip.Add(Stored("next.txt", "n"));
    cases.push_back(
        {"bit 3 clear with true sizes", zip.bytes(), MemberRecord::EndEvidence::kHeaderSizes});
  }
  {
    ZipBuilder zip;
    zip.Add(Deflated("content.xml", kXml));
    zip.Raw("0123456789");
    zip.Add(Stored("next.txt", "n"));
    cases.push_back({"10 junk bytes before the next header", zip.bytes(),
                     MemberRecord::EndEvidence::kHeaderSizes});
  }
  {
    ZipBuilder zip;
    zip.Add(Deflated("content.xml", kXml));
    zip.Finish();
    cases.push_back({"last member before the central directory, without bit 3", zip.bytes(),
                     MemberRecord::EndEvidence::kHeaderSizes});
  }
  {
    // Compressed data that hold the bytes of a local header (a stored deflate block carries them
    // as they are): the member still ends at its own descriptor.
    std::string raw = "ab" + std::string("PK\x03\x04", 4) + "cd";
    std::string block;
    block.push_back('\x01');  // final stored block
    testing::PutU16(block, static_cast<uint16_t>(raw.size()));
    testing::PutU16(block, static_cast<uint16_t>(~raw.size()));
    block += raw;
    ZipBuilder::Member tricky = Deflated("tricky.bin", raw, true);
    tricky.payload = block;
    ZipBuilder zip;
    zip.Add(tricky);
    zip.Add(Stored("next.txt", "n"));
    cases.push_back({"a false signature inside the compressed data", zip.bytes(),
                     MemberRecord::EndEvidence::kOwnDescriptor});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Salvaged s = Salvage(c.bytes);
    ASSERT_FALSE(s.members.empty());
    const MemberRecord& first = s.members.front();
    EXPECT_EQ(first.outcome, Outcome::kWhole);
    EXPECT_EQ(first.end, c.end);
    EXPECT_TRUE(first.crc_known);
    const std::string& expected = first.name == u"tricky.bin"
                                      ? std::string("ab") + std::string("PK\x03\x04", 4) + "cd"
                                      : kXml;
    EXPECT_TRUE(s.file(testing::U8(first.name)) == expected);
    if (s.members.size() > 1) {
      EXPECT_EQ(s.file("next.txt"), "n");
    }
  }
}

TEST(DeflatedMembers, DecodedFilesAreReadOnlyAndTakeTheDescriptorsSize) {
  ScopedTempFolder temp;
  ZipBuilder zip;
  zip.Add(Deflated("content.xml", kXml, true));
  TempDir source_dir;
  ASSERT_TRUE(WriteFile(source_dir / "s.ods", zip.bytes()));
  auto source = platform::Fs().OpenExclusiveRead(U16(source_dir / "s.ods"));
  std::vector<MemberRecord> members;
  ExtractMembers(*source, RepairWorkspace::Current(), nullptr, nullptr, &members);
  struct stat st {};
  ASSERT_EQ(::stat((temp.workspace_folder() + "content.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(static_cast<size_t>(st.st_size), kXml.size());
  EXPECT_EQ(members.at(0).written_size, kXml.size());
  // The scratch archive's local header holds the descriptor's values.
  const auto scratch = ReadFile(temp.private_folder() + "temp12temp.zip");
  ASSERT_TRUE(scratch);
  EXPECT_EQ(testing::GetU32(*scratch, 14), testing::Crc32(kXml));
  EXPECT_EQ(testing::GetU32(*scratch, 18), testing::Deflate(kXml).size());
  EXPECT_EQ(testing::GetU32(*scratch, 22), kXml.size());
}

TEST(DeflatedMembers, KeepWhatCanBeDecodedWhenCutOrWithoutTheirDescriptor) {
  const std::string rows = testing::TextRows(5000, 4);
  const std::string compressed = testing::Deflate(rows);
  {
    // A bit-3 member cut by the end of the source: decoded up to the cut, not empty.
    ZipBuilder zip;
    zip.Add(Stored("mimetype", "application/vnd.oasis.opendocument.spreadsheet"));
    const ZipBuilder::Placed placed = zip.Add(Deflated("content.xml", rows, true));
    const std::string cut = zip.bytes().substr(0, placed.data_offset + compressed.size() / 2);
    const Salvaged s = Salvage(cut);
    const std::string got = s.file("content.xml");
    EXPECT_GT(got.size(), rows.size() / 3);
    EXPECT_LT(got.size(), rows.size());
    EXPECT_TRUE(rows.compare(0, got.size(), got) == 0);
    EXPECT_EQ(s.members.at(1).outcome, Outcome::kPartial);
    EXPECT_EQ(s.members.at(1).end, MemberRecord::EndEvidence::kEndOfSource);
  }
  {
    // Its own descriptor destroyed: the descriptor behind the next member belongs to that member
    // and is not used; the stream is decoded to its end.
    ZipBuilder zip;
    const ZipBuilder::Placed first = zip.Add(Deflated("content.xml", rows, true));
    zip.Add(Deflated("styles.xml", kXml, true));
    std::string bytes = zip.bytes();
    std::fill(bytes.begin() + static_cast<long>(first.data_end),
              bytes.begin() + static_cast<long>(first.data_end + 16), '\0');
    const Salvaged s = Salvage(bytes);
    EXPECT_TRUE(s.file("content.xml") == rows);
    EXPECT_TRUE(s.file("styles.xml") == kXml);
    EXPECT_EQ(s.members.at(0).outcome, Outcome::kWhole);
    EXPECT_FALSE(s.members.at(0).crc_known);
    EXPECT_EQ(s.members.at(1).outcome, Outcome::kWhole);
  }
}

TEST(DeflatedMembers, ReportBrokenDataAndCrcMismatch) {
  const std::string rows = testing::TextRows(3000, 5);
  ZipBuilder::Member flipped = Deflated("content.xml", rows);
  std::string compressed = testing::Deflate(rows);
  compressed[compressed.size() / 2] ^= 0x10;
  flipped.payload = compressed;
  ZipBuilder zip;
  zip.Add(flipped);
  zip.Add(Stored("next.txt", "n"));
  const Salvaged s = Salvage(zip.bytes());
  const Outcome outcome = s.members.at(0).outcome;
  EXPECT_TRUE(outcome == Outcome::kPartial || outcome == Outcome::kCrcMismatch);
  EXPECT_EQ(s.file("next.txt"), "n");
}

// A full disk while a member is written: that member is given up and its partial file removed;
// the members after it are still tried.
TEST(MemberWrites, AFailedWriteGivesUpOnlyThatMember) {
  ZipBuilder zip;
  zip.Add(Stored("mimetype", "application/vnd.oasis.opendocument.spreadsheet"));
  zip.Add(Stored("Pictures/big.png", kPicture));
  zip.Add(Deflated("content.xml", kXml, true));
  zip.Add(Stored("after.txt", "still here"));
  for (const char* full : {"Pictures/big.png", "content.xml"}) {
    SCOPED_TRACE(full);
    testing::ScopedFaults faults;
    faults.faults.size_faults = {{std::string("TempDirZanth/") + full, 1000}};
    const Salvaged s = Salvage(zip.bytes());
    EXPECT_EQ(s.files.count(full), 0u);
    EXPECT_EQ(s.file("after.txt"), "still here");
    EXPECT_EQ(s.file("mimetype"), "application/vnd.oasis.opendocument.spreadsheet");
    EXPECT_EQ(s.files.size(), 3u);
  }
  // The scratch archive itself cannot be written in full: the deflated member is missing.
  testing::ScopedFaults faults;
  faults.faults.size_faults = {{"temp12temp.zip", 500}};
  const Salvaged s = Salvage(zip.bytes());
  EXPECT_EQ(s.files.count("content.xml"), 0u);
  EXPECT_EQ(s.file("after.txt"), "still here");
}

// A source of nothing but false headers keeps only a bounded number of records of them.
TEST(MemberRecords, HeadersThatGaveNothingAreCountedPastTheBound) {
  std::string bytes;
  const size_t count = kMaxRecordsOfNothing + 25;
  for (size_t i = 0; i < count; ++i)
    bytes += std::string("PK\x03\x04", 4) + std::string(40, '\xFF');
  ScopedTempFolder temp;
  TempDir source_dir;
  ASSERT_TRUE(WriteFile(source_dir / "false.ods", bytes));
  auto source = platform::Fs().OpenExclusiveRead(U16(source_dir / "false.ods"));
  std::vector<MemberRecord> members;
  SalvageSummary summary;
  ExtractMembers(*source, RepairWorkspace::Current(), nullptr, nullptr, &members, &summary);
  EXPECT_EQ(members.size(), kMaxRecordsOfNothing);
  EXPECT_EQ(summary.unrecorded, 25u);
  EXPECT_EQ(summary.written, 0u);
  EXPECT_EQ(members.front().outcome, Outcome::kPassedOver);  // a name of 65,535 bytes
}

// ------------------------------------------------------------------ a LibreOffice document

const std::string kSample = std::string(VELLOMIR_TEST_DATA) + "/samples/Budget.ods";

// The members of an archive as unzip gives them, read through its central directory.
std::map<std::string, std::string> MembersByUnzip(const std::string& archive) {
  TempDir out;
  const std::string command = "unzip -qq -o '" + archive + "' -d '" + out.path() + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  std::map<std::string, std::string> members;
  for (const std::string& name : testing::ListFilesRecursively(out.path())) {
    members[name] = ReadFile(out / name).value_or("");
  }
  return members;
}

TEST(LibreOfficeDocument, GivesExactlyTheMembersUnzipGivesAlsoWithoutItsIndex) {
  if (std::system("unzip -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "unzip is not installed";
  const std::optional<std::string> original = ReadFile(kSample);
  ASSERT_TRUE(original);
  const auto expected = MembersByUnzip(kSample);
  ASSERT_GE(expected.size(), 7u);
  EXPECT_TRUE(Salvage(*original).files == expected);

  // The central directory and the end record zeroed: the same members.
  std::string zeroed = *original;
  const size_t directory = zeroed.rfind(std::string("PK\x01\x02", 4), zeroed.size());
  const size_t first_central = zeroed.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(directory, std::string::npos);
  std::fill(zeroed.begin() + static_cast<long>(first_central), zeroed.end(), '\0');
  EXPECT_TRUE(Salvage(zeroed).files == expected);
}

TEST(LibreOfficeDocument, CutAt60PercentKeepsEveryMemberBeforeTheCut) {
  if (std::system("unzip -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "unzip is not installed";
  const std::optional<std::string> original = ReadFile(kSample);
  ASSERT_TRUE(original);
  const auto expected = MembersByUnzip(kSample);
  const size_t cut = original->size() * 6 / 10;
  const Salvaged s = Salvage(original->substr(0, cut));
  size_t whole = 0;
  for (const MemberRecord& member : s.members) {
    const std::string name = testing::U8(member.workspace_name);
    if (member.outcome == Outcome::kWhole) {
      ++whole;
      EXPECT_TRUE(s.file(name) == expected.at(name)) << name;
    } else if (member.outcome == Outcome::kPartial) {
      // The member the cut falls into: its readable prefix.
      const std::string got = s.file(name);
      EXPECT_GT(got.size(), 0u) << name;
      EXPECT_TRUE(expected.at(name).compare(0, got.size(), got) == 0) << name;
    }
  }
  EXPECT_GE(whole, 6u);
  EXPECT_EQ(s.files.count("META-INF/manifest.xml"), 0u);
}

}  // namespace
}  // namespace vellomir
