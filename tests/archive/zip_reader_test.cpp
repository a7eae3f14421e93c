#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;
using testing::ZipBuilder;

const std::string kText = "The quick brown fox jumps over the lazy dog. " + std::string(2000, 'x');

// Writes `bytes` as an archive, opens it and extracts its first entry to `target`.
struct Extraction {
  ZipStatus open = ZipStatus::kOk;
  ZipStatus get = ZipStatus::kOk;
  ZipStatus extract = ZipStatus::kOk;
  ZipEntryInfo info;
  std::optional<std::string> data;
  uint32_t crc = 0;
  bool whole = false;
};

Extraction Extract(const TempDir& dir, const std::string& bytes,
                   const std::string& target_name = "out.bin") {
  Extraction result;
  EXPECT_TRUE(WriteFile(dir / "archive.zip", bytes));
  auto reader = ZipReader::Open(U16(dir / "archive.zip"), &result.open);
  if (!reader) return result;
  result.get = reader->GetEntry(&result.info);
  result.extract = reader->ExtractEntry(U16(dir / target_name));
  result.crc = reader->ExtractedCrc();
  result.whole = reader->ExtractedWhole();
  reader->Close();
  result.data = ReadFile(dir / target_name);
  return result;
}

std::string OneMemberArchive(const ZipBuilder::Member& member,
                             std::string_view junk_in_front = "") {
  ZipBuilder zip;
  zip.Raw(junk_in_front);
  zip.Add(member);
  zip.Finish();
  return zip.bytes();
}

ZipBuilder::Member Deflated(const std::string& data = kText) {
  ZipBuilder::Member member;
  member.name = "content.xml";
  member.data = data;
  return member;
}

TEST(ZipReader, ExtractsStoredAndDeflatedEntriesWithTheirInformation) {
  TempDir dir;
  ZipBuilder::Member stored = Deflated();
  stored.method = 0;
  for (const auto& member : {Deflated(), stored}) {
    SCOPED_TRACE(member.method);
    const Extraction e = Extract(dir, OneMemberArchive(member));
    ASSERT_EQ(e.open, ZipStatus::kOk);
    EXPECT_EQ(e.get, ZipStatus::kOk);
    EXPECT_EQ(e.extract, ZipStatus::kOk);
    EXPECT_EQ(e.data, kText);
    EXPECT_EQ(e.info.index, 0);
    EXPECT_EQ(e.info.name, "content.xml");
    EXPECT_EQ(e.info.wname, u"content.xml");
    EXPECT_EQ(e.info.uncompressed_size, kText.size());
    EXPECT_EQ(e.crc, testing::Crc32(kText));
    EXPECT_TRUE(e.whole);
    ::chmod((dir / "out.bin").c_str(), 0644);
  }
}

TEST(ZipReader, FindsTheArchiveBehindJunkAndTheLastEndRecord) {
  TempDir dir;
  const Extraction shifted = Extract(dir, OneMemberArchive(Deflated(), std::string(100, 'J')));
  EXPECT_EQ(shifted.extract, ZipStatus::kOk);
  EXPECT_EQ(shifted.data, kText);

  // Of two end records the later one is used: a sound later record (its directory size covering
  // the earlier record) opens the archive; a refused later record refuses it, however sound the
  // earlier one is.
  const std::string archive = OneMemberArchive(Deflated());
  const std::string directory_part = archive.substr(0, archive.size() - 22);
  const std::string sound = archive.substr(archive.size() - 22);
  std::string refused = sound;
  refused[8] = 5;  // entries on this disk differ from the total
  std::string covering = sound;
  covering[12] = static_cast<char>(covering[12] + 22);  // the directory size includes 22 bytes more
  const Extraction later_sound = Extract(dir, directory_part + refused + covering);
  ASSERT_EQ(later_sound.open, ZipStatus::kOk);
  EXPECT_EQ(later_sound.data, kText);
  const Extraction later_refused = Extract(dir, directory_part + sound + refused);
  EXPECT_EQ(later_refused.open, ZipStatus::kNotAnArchive);
}

TEST(ZipReader, RefusesArchivesThatCannotBeRead) {
  TempDir dir;
  const std::string sound = OneMemberArchive(Deflated());
  const size_t end = sound.size() - 22;
  auto patched = [&](size_t at, std::string_view bytes) {
    std::string copy = sound;
    copy.replace(at, bytes.size(), bytes);
    return copy;
  };
  std::string end_record_only;
  testing::PutU32(end_record_only, 0x06054B50);
  end_record_only += std::string(18, '\0');
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"only an end record, at position 0", end_record_only},
      {"no end record", sound.substr(0, end)},
      {"end record cut short", sound.substr(0, sound.size() - 5)},
      {"disk number", patched(end + 6, std::string("\x01\x00", 2))},
      {"entry counts differ", patched(end + 8, std::string("\x02\x00", 2))},
      {"directory reaches past the end record", patched(end + 12, std::string("\xFF\x00", 2))},
      {"empty file", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFile(dir / "archive.zip", c.bytes));
    ZipStatus status = ZipStatus::kOk;
    EXPECT_EQ(ZipReader::Open(U16(dir / "archive.zip"), &status), nullptr);
    EXPECT_EQ(status, ZipStatus::kNotAnArchive);
  }
  ZipStatus status = ZipStatus::kOk;
  EXPECT_EQ(ZipReader::Open(U16(dir / "missing.zip"), &status), nullptr);
  EXPECT_EQ(status, ZipStatus::kCannotOpen);
  ::mkdir((dir / "folder.zip").c_str(), 0700);
  EXPECT_EQ(ZipReader::Open(U16(dir / "folder.zip"), &status), nullptr);
  EXPECT_EQ(status, ZipStatus::kCannotOpen);
}

TEST(ZipReader, ChecksTheLocalHeaderAgainstTheCentralRecord) {
  TempDir dir;
  struct Case {
    const char* what;
    ZipBuilder::Member member;
    ZipStatus get;
  };
  ZipBuilder::Member deferred = Deflated();
  deferred.descriptor = true;  // bit 3, zeros in the local header, real values in the central one
  ZipBuilder::Member zeros_without_bit3 = Deflated();
  zeros_without_bit3.header_crc = 0;
  zeros_without_bit3.header_compressed_size = 0;
  zeros_without_bit3.header_uncompressed_size = 0;
  ZipBuilder::Member other_size = Deflated();
  other_size.header_compressed_size = 1;
  ZipBuilder::Member other_method = Deflated();
  other_method.method = 12;
  ZipBuilder::Member other_name_length = Deflated();
  other_name_length.header_name_length = 3;
  const Case cases[] = {
      {"bit 3 with zero sizes", deferred, ZipStatus::kOk},
      {"zero sizes without bit 3", zeros_without_bit3, ZipStatus::kCorrupt},
      {"another compressed size", other_size, ZipStatus::kCorrupt},
      {"method 12", other_method, ZipStatus::kCorrupt},
      {"another name length", other_name_length, ZipStatus::kCorrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Extraction e = Extract(dir, OneMemberArchive(c.member));
    ASSERT_EQ(e.open, ZipStatus::kOk);
    EXPECT_EQ(e.get, c.get);
    EXPECT_EQ(e.extract, c.get);
    if (c.get == ZipStatus::kOk) {
      EXPECT_EQ(e.data, kText);
    } else {
      EXPECT_EQ(e.data, std::nullopt);  // nothing is created
    }
    ::chmod((dir / "out.bin").c_str(), 0644);
    ::unlink((dir / "out.bin").c_str());
  }
}

TEST(ZipReader, ReportsFirstRecordAndExtraFieldFailures) {
  TempDir dir;
  std::string archive = OneMemberArchive(Deflated());
  const size_t central = archive.size() - 22 - 46 - 11;
  std::string bad_signature = archive;
  bad_signature[central] = 'X';
  EXPECT_EQ(Extract(dir, bad_signature).get, ZipStatus::kCorrupt);

  // A local extra field that runs past the end of the file: a central directory placed so that the
  // archive is otherwise consistent, and a local header claiming 60,000 bytes of extra field.
  std::string long_extra = archive;
  long_extra[28] = static_cast<char>(0x60);
  long_extra[29] = static_cast<char>(0xEA);
  EXPECT_EQ(Extract(dir, long_extra).get, ZipStatus::kReadFailed);

  ZipBuilder empty;
  empty.Finish();
  ASSERT_TRUE(WriteFile(dir / "empty.zip", empty.bytes() + std::string(4, '\0')));
  // An archive whose end record is not at position 0 but lists no entry.
  std::string no_entries = std::string(10, 'J') + empty.bytes();
  const Extraction e = Extract(dir, no_entries);
  EXPECT_EQ(e.open, ZipStatus::kOk);
  EXPECT_EQ(e.get, ZipStatus::kBadArgument);
  EXPECT_EQ(e.extract, ZipStatus::kBadArgument);
}

TEST(ZipReader, FencesOutputAtTheCentralSizeAndKeepsWhatABrokenStreamGave) {
  TempDir dir;
  // The central record's uncompressed size caps the output.
  for (uint32_t size : {0u, 100u}) {
    SCOPED_TRACE(size);
    ZipBuilder::Member member = Deflated();
    member.descriptor = true;
    std::string archive = OneMemberArchive(member);
    const size_t central = archive.size() - 22 - 46 - member.name.size();
    std::string patched = archive;
    for (int i = 0; i < 4; ++i) patched[central + 24 + i] = static_cast<char>(size >> (8 * i));
    const Extraction e = Extract(dir, patched);
    EXPECT_EQ(e.extract, ZipStatus::kOk);
    EXPECT_EQ(e.data, kText.substr(0, size));
    EXPECT_FALSE(e.whole);
    ::chmod((dir / "out.bin").c_str(), 0644);
  }

  // Compressed data that break off in the middle: what was decoded, Ok, and the entry's times.
  const std::string rows = testing::TextRows(20000, 7);
  const std::string compressed = testing::Deflate(rows);
  ZipBuilder::Member cut = Deflated(rows);
  cut.payload = compressed.substr(0, compressed.size() / 2);
  const Extraction broken = Extract(dir, OneMemberArchive(cut));
  EXPECT_EQ(broken.extract, ZipStatus::kOk);
  ASSERT_TRUE(broken.data);
  EXPECT_GT(broken.data->size(), rows.size() / 3);
  EXPECT_LT(broken.data->size(), rows.size());
  EXPECT_TRUE(rows.compare(0, broken.data->size(), *broken.data) == 0);
  EXPECT_FALSE(broken.whole);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "out.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime,
            static_cast<time_t>(broken.info.times.last_write / 10000000 - 11644473600LL));
}

TEST(ZipReader, ExtractsDataWhoseCrcDiffers) {
  TempDir dir;
  ZipBuilder::Member member = Deflated();
  member.descriptor = true;
  std::string archive = OneMemberArchive(member);
  const size_t central = archive.size() - 22 - 46 - member.name.size();
  archive[central + 16] ^= 0x55;
  const Extraction e = Extract(dir, archive);
  EXPECT_EQ(e.extract, ZipStatus::kOk);
  EXPECT_EQ(e.data, kText);
  EXPECT_TRUE(e.whole);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode;
}

TEST(ZipReader, MapsExternalAttributes) {
  TempDir dir;
  struct Case {
    uint32_t external;
    uint32_t attributes;
    bool writable;
  };
  const Case cases[] = {
      {0x00000000, 0x81, false},  // nothing known: normal and read-only
      {0x00800020, 0xA0, true},   // owner may write, archive
      {0x81800001, 0x81, false},  // MS-DOS read-only wins over the Unix mode
      {0x81800006, 0x86, true},   // hidden and system
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.external);
    ZipBuilder::Member member = Deflated();
    member.external_attributes = c.external;
    const Extraction e = Extract(dir, OneMemberArchive(member));
    EXPECT_EQ(e.info.attributes, c.attributes);
    EXPECT_EQ((ModeOf(dir / "out.bin") & 0200) != 0, c.writable);
    ::chmod((dir / "out.bin").c_str(), 0644);
  }
}

TEST(ZipReader, CreatesOnlyRelativeTargetFoldersBelowItsRoot) {
  TempDir dir;
  TempDir root;
  const std::string archive = OneMemberArchive(Deflated());
  ASSERT_TRUE(WriteFile(dir / "archive.zip", archive));
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(root.path().c_str()), 0);
  struct Case {
    std::string target;
    ZipStatus status;
  };
  const Case cases[] = {
      {"a/b/c.txt", ZipStatus::kOk},
      {"../x/c.txt", ZipStatus::kCannotOpen},
      {"a/../../y/c.txt", ZipStatus::kCannotOpen},
      {dir / "absent/c.txt", ZipStatus::kCannotOpen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    ZipStatus status = ZipStatus::kOk;
    auto reader = ZipReader::Open(U16(dir / "archive.zip"), &status);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->ExtractEntry(U16(c.target)), c.status);
  }
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_EQ(ReadFile(root / "a/b/c.txt"), kText);
  EXPECT_FALSE(testing::Exists(root.path() + "/../x"));
  EXPECT_FALSE(testing::Exists(dir / "absent"));
  EXPECT_EQ(testing::ListFilesRecursively(root.path()), std::vector<std::string>{"a/b/c.txt"});
}

// The DOS stamp is local time: with the zone one hour east of UTC, 14:00:00 is 13:00:00 UTC.
TEST(ZipReader, TurnsTheDosStampIntoAnInstantAndPrefersTheExtendedTimestamp) {
  TempDir dir;
  testing::ScopedEnv zone("TZ", "CET-1");
  ::tzset();
  ZipBuilder::Member member = Deflated();
  member.dos_date = static_cast<uint16_t>((2025 - 1980) << 9 | 6 << 5 | 15);  // 2025-06-15
  member.dos_time = static_cast<uint16_t>(14 << 11);                          // 14:00:00
  const int64_t dos_utc = 1749992400;  // 2025-06-15 13:00:00 UTC
  const int64_t ut_mtime = 1700000000;
  std::string extra;
  testing::PutU16(extra, 0x5455);
  testing::PutU16(extra, 5);
  extra.push_back(1);  // flags: modification time only
  testing::PutU32(extra, static_cast<uint32_t>(ut_mtime));
  member.extra = extra;
  const Extraction e = Extract(dir, OneMemberArchive(member));
  ::unsetenv("TZ");
  ::tzset();
  const auto seconds = [](uint64_t file_time) {
    return static_cast<int64_t>(file_time / 10000000) - 11644473600LL;
  };
  EXPECT_EQ(seconds(e.info.times.last_write), ut_mtime);
  EXPECT_EQ(seconds(e.info.times.last_access), dos_utc);
  EXPECT_EQ(seconds(e.info.times.creation), dos_utc);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "out.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, ut_mtime);  // (the access time changed when the test read the file)
}

TEST(ZipReader, ReadsAnExtendedTimestampOnlyWithinItsField) {
  TempDir dir;
  ZipBuilder::Member member = Deflated();
  std::string extra;
  testing::PutU16(extra, 0x5455);
  testing::PutU16(extra, 9);
  extra.push_back(7);           // claims three times
  testing::PutU32(extra, 100);  // but holds only one, then the field ends
  member.extra = extra;
  const Extraction e = Extract(dir, OneMemberArchive(member));
  EXPECT_EQ(e.extract, ZipStatus::kOk);
  EXPECT_EQ(e.info.times.last_write / 10000000 - 11644473600LL, 100u);
  EXPECT_EQ(e.info.times.last_access, e.info.times.creation);  // both the DOS time
}

}  // namespace
}  // namespace vellomir
