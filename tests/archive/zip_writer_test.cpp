#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/zip_format.h"
#include "support/archive_test.h"
#include "support/faulty_file_system.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::Crc32;
using testing::EntryNames;
using testing::GetU16;
using testing::GetU32;
using testing::Inflate;
using testing::RandomBytes;
using testing::ReadFile;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;
using testing::ZipListing;

constexpr uint16_t kDeflated = 8;
constexpr uint16_t kStored = 0;

// Source files beside the archive, and a writer for it.
class ZipWriterTest : public testing::ArchiveTest {
 protected:
  uint64_t ArchiveSize() const { return ArchiveBytes().size(); }

  // Writes a source file and returns its path.
  std::u16string Source(const std::string& name, std::string_view content) {
    testing::MakeFolders(dir_ / "src");
    const std::string path = dir_ / ("src/" + name);
    EXPECT_TRUE(WriteFile(path, content));
    return U16(path);
  }

  std::unique_ptr<ZipWriter> Create(const ZipWriterLimits& limits = {}) {
    ZipStatus status = ZipStatus::kCannotOpen;
    std::unique_ptr<ZipWriter> writer = ZipWriter::Create(Archive(), &status, limits);
    EXPECT_TRUE(writer);
    EXPECT_EQ(status, ZipStatus::kOk);
    return writer;
  }
};

// A handle of the other kind, as an archive reader's would be.
class ReaderKindHandle : public ZipHandle {
 public:
  ReaderKindHandle() : ZipHandle(Kind::kReader) {}
};

// ------------------------------------------------------------------------------------ layout

TEST_F(ZipWriterTest, EmptySourceGivesTheSmallestEntryOfItsMethod) {
  struct Case {
    const char16_t* name;
    uint16_t method;
    uint16_t flags;
    std::string data;  // an empty deflate stream is one final fixed block with the end code
  };
  const Case cases[] = {
      {u"empty.txt", kDeflated, 0x0002, std::string("\x03\x00", 2)},
      {u"empty.zip", kStored, 0x0000, ""},
  };
  std::unique_ptr<ZipWriter> writer = Create();
  for (const Case& c : cases)
    EXPECT_EQ(writer->AddFile(c.name, Source("empty", "")), ZipStatus::kOk);
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);

  const ZipListing listing = Listing();
  ASSERT_EQ(listing.entries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const ZipListing::Entry& entry = listing.entries[i];
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(entry.method, cases[i].method);
    EXPECT_EQ(entry.flags, cases[i].flags);
    EXPECT_EQ(entry.data, cases[i].data);
    EXPECT_EQ(entry.compressed_size, cases[i].data.size());
    EXPECT_EQ(entry.uncompressed_size, 0u);
    EXPECT_EQ(entry.crc, 0u);
  }
  EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
}

TEST_F(ZipWriterTest, TwoEntriesAreLaidOutInOrderWithEveryField) {
  // Both larger than the 16 KiB transfer buffer, so that data goes out in several pieces.
  std::string text;
  for (int i = 0; text.size() < 60000; ++i) text += "<row n=\"" + std::to_string(i) + "\"/>\n";
  const std::string picture = RandomBytes(40000, 7);
  std::unique_ptr<ZipWriter> writer = Create();
  ASSERT_EQ(writer->AddFile(u"content.xml", Source("content.xml", text)), ZipStatus::kOk);
  ASSERT_EQ(writer->AddFile(u"Pictures\\a.zip", Source("a.zip", picture)), ZipStatus::kOk);
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);

  const std::string bytes = ArchiveBytes();
  const ZipListing listing = Listing();
  ASSERT_EQ(listing.entries.size(), 2u);
  const ZipListing::Entry& first = listing.entries[0];
  const ZipListing::Entry& second = listing.entries[1];

  // Local header 1, data 1, local header 2, data 2, central headers, end record.
  EXPECT_EQ(first.local_header_offset, 0u);
  EXPECT_EQ(second.local_header_offset, 30 + 11 + 17 + first.compressed_size);
  EXPECT_EQ(listing.central_offset, second.local_header_offset + 30 + 14 + 17 + picture.size());
  EXPECT_EQ(listing.central_size, (46 + 11 + 9) + (46 + 14 + 9));
  EXPECT_EQ(bytes.size(), listing.central_offset + listing.central_size + 22);

  EXPECT_EQ(first.name, "content.xml");
  EXPECT_EQ(first.method, kDeflated);
  EXPECT_EQ(first.flags, 0x0002);
  EXPECT_EQ(Inflate(first.data), text);
  EXPECT_LT(first.compressed_size, text.size() / 4);
  EXPECT_EQ(first.uncompressed_size, text.size());
  EXPECT_EQ(first.crc, Crc32(text));

  EXPECT_EQ(second.name, "Pictures/a.zip");
  EXPECT_EQ(second.method, kStored);
  EXPECT_EQ(second.flags, 0x0000);
  EXPECT_EQ(second.data, picture);
  EXPECT_EQ(second.compressed_size, picture.size());
  EXPECT_EQ(second.crc, Crc32(picture));

  for (const ZipListing::Entry& entry : listing.entries) {
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(entry.version_made_by, 0x0B17);
    EXPECT_EQ(entry.version_needed, 20);
    EXPECT_EQ(entry.comment_length, 0);
    EXPECT_EQ(entry.disk_start, 0);
    EXPECT_EQ(entry.internal_attributes, 0);
    EXPECT_EQ(entry.external_attributes, 0x81800020u);
    // Extended timestamps: three times in the local form, the modification time alone in the
    // central one, the same in both.
    ASSERT_EQ(entry.local_extra.size(), 17u);
    EXPECT_EQ(GetU16(entry.local_extra, 0), 0x5455);
    EXPECT_EQ(GetU16(entry.local_extra, 2), 13);
    EXPECT_EQ(entry.local_extra[4], 7);
    ASSERT_EQ(entry.central_extra.size(), 9u);
    EXPECT_EQ(GetU16(entry.central_extra, 0), 0x5455);
    EXPECT_EQ(GetU16(entry.central_extra, 2), 5);
    EXPECT_EQ(entry.central_extra[4], 7);
    EXPECT_EQ(GetU32(entry.central_extra, 5), GetU32(entry.local_extra, 5));
  }
  // The local headers were completed in place: no data descriptor flag survives anywhere.
  for (uint32_t offset : {first.local_header_offset, second.local_header_offset}) {
    EXPECT_EQ(GetU16(bytes, offset + 6) & 0x0008, 0);
  }
  EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
}

TEST_F(ZipWriterTest, ArchiveWithoutEntriesIsTheEndRecordAlone) {
  std::unique_ptr<ZipWriter> writer = Create();
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);
  EXPECT_EQ(ArchiveBytes(), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  // unzip only warns that the archive is empty, so Python alone judges this one.
  const testing::ToolVerdict python = testing::PythonZipTest(ArchivePath());
  EXPECT_TRUE(python.accepted || !python.available) << python.output;
}

// ------------------------------------------------------------------------------------- names

TEST(HasStoredSuffix, MatchesCompressedFormatsFromTheLastDot) {
  struct Case {
    const char* name;
    bool stored;
  };
  const Case cases[] = {
      {"x.z", true},
      {"x.Z", true},
      {"file.tar.gz", true},
      {"a.zip", true},
      {"A.ZiP", true},
      {"b.zoo", true},
      {"c.arc", true},
      {"d.lzh", true},
      {"e.arj", true},
      {"f.tgz", true},
      {".zip", true},
      {"a.b/c", false},
      {"mimetype", false},
      {"a/b.zip/c", false},
      {"x.zipx", false},
      {"x.gz.txt", false},
      {"x.", false},
      {"", false},
      {"Pictures/a.png", false},
  };
  for (const Case& c : cases) EXPECT_EQ(HasStoredSuffix(c.name), c.stored) << c.name;
}

TEST_F(ZipWriterTest, NamesAreWrittenWithForwardSlashesAndTheirEncodingMarked) {
  struct Case {
    std::u16string name;
    ZipStatus status;
    std::string written;  // when accepted
    uint16_t flags;
    uint16_t method;
  };
  const std::u16string longest(259, u'n');
  const Case cases[] = {
      {u"Pictures\\a.png", ZipStatus::kOk, "Pictures/a.png", 0x0002, kDeflated},
      {u"/Top\\Sub/x.TXT", ZipStatus::kOk, "/Top/Sub/x.TXT", 0x0002, kDeflated},
      {u"x.z", ZipStatus::kOk, "x.z", 0x0000, kStored},
      {u"x.Z", ZipStatus::kOk, "x.Z", 0x0000, kStored},
      {u"file.tar.gz", ZipStatus::kOk, "file.tar.gz", 0x0000, kStored},
      {u"a.b/c", ZipStatus::kOk, "a.b/c", 0x0002, kDeflated},
      {u"mimetype", ZipStatus::kOk, "mimetype", 0x0002, kDeflated},
      // UTF-8 is marked as such; bytes of no known encoding are carried over unmarked.
      {u"\u00C9t\u00E9.xml", ZipStatus::kOk, "\xC3\x89t\xC3\xA9.xml", 0x0802, kDeflated},
      {u"caf\xDC82.txt", ZipStatus::kOk, "caf\x82.txt", 0x0002, kDeflated},
      {longest, ZipStatus::kOk, std::string(259, 'n'), 0x0002, kDeflated},
      {longest + u"n", ZipStatus::kBadArgument, "", 0, 0},
      {u"", ZipStatus::kBadArgument, "", 0, 0},
      {std::u16string(u"a\0b", 3), ZipStatus::kBadArgument, "", 0, 0},
  };
  const std::u16string source = Source("data", "some data");
  std::unique_ptr<ZipWriter> writer = Create();
  std::vector<const Case*> accepted;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::U8(c.name));
    const uint64_t size_before = ArchiveSize();
    EXPECT_EQ(writer->AddFile(c.name, source), c.status);
    if (c.status == ZipStatus::kOk) {
      accepted.push_back(&c);
    } else {
      EXPECT_EQ(ArchiveSize(), size_before);
    }
  }
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);

  const ZipListing listing = Listing();
  ASSERT_EQ(listing.entries.size(), accepted.size());
  for (size_t i = 0; i < accepted.size(); ++i) {
    SCOPED_TRACE(accepted[i]->written);
    EXPECT_EQ(listing.entries[i].name, accepted[i]->written);
    EXPECT_EQ(listing.entries[i].flags, accepted[i]->flags);
    EXPECT_EQ(listing.entries[i].method, accepted[i]->method);
  }
  EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
}

// --------------------------------------------------------------------------------- lifecycle

TEST_F(ZipWriterTest, ClosedWriterRefusesEntriesAndASecondCloseWritesNothing) {
  std::unique_ptr<ZipWriter> writer = Create();
  const std::u16string source = Source("a.txt", "alpha");
  ASSERT_EQ(writer->AddFile(u"a.txt", source), ZipStatus::kOk);
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);
  const std::string closed = ArchiveBytes();

  EXPECT_EQ(writer->AddFile(u"b.txt", source), ZipStatus::kAlreadyClosed);
  EXPECT_EQ(writer->Close(), ZipStatus::kOk);
  EXPECT_EQ(ArchiveBytes(), closed);
  EXPECT_EQ(EntryNames(Listing()), std::vector<std::string>{"a.txt"});
}

TEST_F(ZipWriterTest, SourceThatCannotBeOpenedLeavesTheArchiveAsItWas) {
  const std::u16string good = Source("good.txt", "good");
  const std::u16string locked = Source("locked.txt", "locked");
  testing::LockHolder holder(testing::U8(locked), testing::LockHolder::Kind::kFlockExclusive);
  ASSERT_TRUE(holder.locked());
  testing::MakeFolders(dir_ / "src/folder");
  const std::u16string unopenable[] = {dir_.u16() + u"/src/missing", dir_.u16() + u"/src/folder",
                                       locked, u""};

  std::unique_ptr<ZipWriter> writer = Create();
  ASSERT_EQ(writer->AddFile(u"first", good), ZipStatus::kOk);
  for (const std::u16string& source : unopenable) {
    SCOPED_TRACE(testing::U8(source));
    const uint64_t size_before = ArchiveSize();
    EXPECT_EQ(writer->AddFile(u"refused", source), ZipStatus::kCannotOpen);
    EXPECT_EQ(ArchiveSize(), size_before);
  }
  // A failed entry does not end the writer.
  ASSERT_EQ(writer->AddFile(u"last", good), ZipStatus::kOk);
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);
  EXPECT_EQ(EntryNames(Listing()), (std::vector<std::string>{"first", "last"}));
}

TEST_F(ZipWriterTest, HandleOperationsCheckTheHandleFirst) {
  const std::u16string source = Source("a.txt", "alpha");
  std::unique_ptr<ZipHandle> none;
  EXPECT_EQ(ZipWriter::AddFile(nullptr, u"a.txt", source), ZipStatus::kBadArgument);
  EXPECT_EQ(ZipWriter::Close(none), ZipStatus::kBadArgument);

  std::unique_ptr<ZipHandle> reader = std::make_unique<ReaderKindHandle>();
  EXPECT_EQ(ZipWriter::AddFile(reader.get(), u"a.txt", source), ZipStatus::kWrongKind);
  EXPECT_EQ(ZipWriter::Close(reader), ZipStatus::kWrongKind);
  EXPECT_TRUE(reader);  // not this call's to release

  std::unique_ptr<ZipHandle> writer = Create();
  EXPECT_EQ(ZipWriter::AddFile(writer.get(), u"a.txt", source), ZipStatus::kOk);
  EXPECT_EQ(ZipWriter::Close(writer), ZipStatus::kOk);
  EXPECT_FALSE(writer);
  EXPECT_EQ(EntryNames(Listing()), std::vector<std::string>{"a.txt"});
}

TEST(ZipWriterCreate, FailsWhereNoFileCanBeCreated) {
  TempDir dir;
  testing::MakeFolders(dir / "folder");
  for (const std::string& path : {dir / "missing/out.zip", dir / "folder", std::string()}) {
    ZipStatus status = ZipStatus::kOk;
    EXPECT_FALSE(ZipWriter::Create(U16(path), &status)) << path;
    EXPECT_EQ(status, ZipStatus::kCannotOpen) << path;
  }
}

// ------------------------------------------------------------------------ times, attributes

// Sets TZ for the lifetime of the object; the C library reads it again at once, and again when
// it is restored.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone) : env_(std::in_place, "TZ", zone) { ::tzset(); }
  ~ScopedTimeZone() {
    env_.reset();
    ::tzset();
  }

 private:
  std::optional<testing::ScopedEnv> env_;
};

struct DosFields {
  int year, month, day, hour, minute, second;
};

uint16_t DosDate(const DosFields& f) {
  return ((f.year - 1980) << 9) | (f.month << 5) | f.day;
}
uint16_t DosTime(const DosFields& f) {
  return (f.hour << 11) | (f.minute << 5) | (f.second / 2);
}

TEST_F(ZipWriterTest, TimesAreTheLocalTimesOfTheFileWithinEachFieldsRange) {
  struct Case {
    const char* what;
    zipformat::CivilTime local_mtime;
    DosFields dos;                        // as the DOS fields must show it
    zipformat::CivilTime local_in_field;  // what the timestamp field must hold, in local time
  };
  const Case cases[] = {
      {"afternoon", {2024, 5, 17, 14, 0, 10}, {2024, 5, 17, 14, 0, 10}, {2024, 5, 17, 14, 0, 10}},
      {"odd second", {2024, 5, 17, 14, 0, 11}, {2024, 5, 17, 14, 0, 10}, {2024, 5, 17, 14, 0, 11}},
      {"before 1980", {1975, 6, 1, 12, 0, 0}, {1980, 1, 1, 0, 0, 0}, {1975, 6, 1, 12, 0, 0}},
      {"before 1970", {1965, 3, 4, 10, 20, 30}, {1980, 1, 1, 0, 0, 0}, {1970, 1, 1, 10, 20, 30}},
      {"after 2037", {2050, 7, 8, 3, 4, 6}, {2050, 7, 8, 3, 4, 6}, {2037, 12, 31, 3, 4, 6}},
      {"after 2107", {2110, 1, 1, 8, 0, 0}, {2107, 12, 31, 23, 59, 58}, {2037, 12, 31, 8, 0, 0}},
  };
  // UTC, and a zone east of it by a time that is not a whole hour, so that the direction and the
  // size of the shift both show.
  for (const char* zone : {"UTC0", "<+0930>-9:30"}) {
    ScopedTimeZone time_zone(zone);
    const int64_t offset = platform::Fs().LocalTimeOffsetSeconds();
    std::unique_ptr<ZipWriter> writer = Create();
    for (const Case& c : cases) {
      const std::u16string source = Source(c.what, "x");
      const int64_t utc = zipformat::CivilToUnixSeconds(c.local_mtime) - offset;
      const struct timespec times[2] = {{static_cast<time_t>(utc), 0},
                                        {static_cast<time_t>(utc), 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, testing::U8(source).c_str(), times, 0), 0) << c.what;
      ASSERT_EQ(writer->AddFile(U16(c.what), source), ZipStatus::kOk);
    }
    ASSERT_EQ(writer->Close(), ZipStatus::kOk);

    const ZipListing listing = Listing();
    ASSERT_EQ(listing.entries.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
      const Case& c = cases[i];
      const ZipListing::Entry& entry = listing.entries[i];
      SCOPED_TRACE(std::string(zone) + " " + c.what);
      EXPECT_EQ(entry.dos_date, DosDate(c.dos));
      EXPECT_EQ(entry.dos_time, DosTime(c.dos));
      const auto field_time =
          static_cast<uint32_t>(zipformat::CivilToUnixSeconds(c.local_in_field) - offset);
      EXPECT_EQ(GetU32(entry.local_extra, 5), field_time);  // modification
      EXPECT_EQ(GetU32(entry.local_extra, 9), field_time);  // access
      EXPECT_EQ(GetU32(entry.central_extra, 5), field_time);
    }
  }
}

TEST_F(ZipWriterTest, ExternalAttributesShowReadOnlyAndHidden) {
  struct Case {
    const char* name;
    mode_t mode;
    uint32_t attributes;
  };
  const Case cases[] = {
      {"plain.txt", 0644, 0x81800020},
      {"read-only.txt", 0444, 0x81000021},
      {".hidden", 0644, 0x81800022},
      {".hidden-read-only", 0444, 0x81000023},
  };
  std::unique_ptr<ZipWriter> writer = Create();
  for (const Case& c : cases) {
    const std::u16string source = Source(c.name, "x");
    ASSERT_EQ(::chmod(testing::U8(source).c_str(), c.mode), 0);
    ASSERT_EQ(writer->AddFile(U16(c.name), source), ZipStatus::kOk);
  }
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);
  const ZipListing listing = Listing();
  ASSERT_EQ(listing.entries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(listing.entries[i].external_attributes, cases[i].attributes) << cases[i].name;
  }
}

// ---------------------------------------------------------------------------------- limits

TEST_F(ZipWriterTest, EntriesStopAt65535) {
  const std::u16string source = Source("empty.zip", "");
  std::unique_ptr<ZipWriter> writer = Create();
  for (int i = 0; i < 65535; ++i) {
    ASSERT_EQ(writer->AddFile(u"e" + U16(std::to_string(i)), source), ZipStatus::kOk) << i;
  }
  const uint64_t size_before = ArchiveSize();
  EXPECT_EQ(writer->AddFile(u"one too many", source), ZipStatus::kBadArgument);
  EXPECT_EQ(ArchiveSize(), size_before);
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);
  const std::string bytes = ArchiveBytes();
  EXPECT_EQ(GetU16(bytes, bytes.size() - 12), 65535);
  EXPECT_EQ(Listing().entries.size(), 65535u);
}

TEST_F(ZipWriterTest, SourcesOfFourGiBAreRefusedBeforeAnythingIsWritten) {
  // Sparse files: nothing of them is ever read.
  for (const uint64_t size : {uint64_t{0xFFFFFFFF}, uint64_t{0x100000000}}) {
    const std::u16string source = Source("huge", "");
    ASSERT_EQ(::truncate(testing::U8(source).c_str(), static_cast<off_t>(size)), 0);
    for (const char16_t* name : {u"huge.bin", u"huge.zip"}) {
      std::unique_ptr<ZipWriter> writer = Create();
      EXPECT_EQ(writer->AddFile(name, source), ZipStatus::kBadArgument) << size;
      EXPECT_EQ(ArchiveSize(), 0u);
      EXPECT_EQ(writer->Close(), ZipStatus::kOk);
    }
  }
}

TEST_F(ZipWriterTest, SourceSizeLimitHoldsAtTheLimitAndRefusesOnePast) {
  ZipWriterLimits limits;
  limits.max_source_size = 100;
  std::unique_ptr<ZipWriter> writer = Create(limits);
  EXPECT_EQ(writer->AddFile(u"at.txt", Source("at", std::string(100, 'a'))), ZipStatus::kOk);
  const uint64_t size_before = ArchiveSize();
  EXPECT_EQ(writer->AddFile(u"past.txt", Source("past", std::string(101, 'p'))),
            ZipStatus::kBadArgument);
  EXPECT_EQ(ArchiveSize(), size_before);
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);
  EXPECT_EQ(EntryNames(Listing()), std::vector<std::string>{"at.txt"});
}

TEST_F(ZipWriterTest, ArchiveSizeLimitHoldsAtTheLimitAndRefusesOnePast) {
  // A first entry of 100 stored bytes, then a second one of 800 bytes that do not compress, so
  // that the deflated size is known beforehand. "a.zip" and "b.bin" have names of 5 bytes: each
  // entry takes 30 + 5 + 17 bytes of local header and 46 + 5 + 9 of central header, and the end
  // record 22.
  const std::string second_data = RandomBytes(800, 3);
  const uint64_t deflated_size = testing::Deflate(second_data, 8).size();
  const std::u16string first = Source("first", std::string(100, 'f'));
  const std::u16string second = Source("second", second_data);
  struct Case {
    const char16_t* second_name;
    uint64_t second_size;  // of its data in the archive
    int64_t room;          // bytes the limit leaves beyond what both entries need
    ZipStatus second_status;
  };
  const Case cases[] = {
      {u"b.zip", 800, 0, ZipStatus::kOk},
      {u"b.zip", 800, -1, ZipStatus::kBadArgument},  // known beforehand: nothing written
      {u"b.bin", deflated_size, 0, ZipStatus::kOk},
      {u"b.bin", deflated_size, -1, ZipStatus::kWriteFailed},  // found while writing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::U8(c.second_name) + " room " + std::to_string(c.room));
    const uint64_t both = 2 * (52 + 60) + 100 + c.second_size + 22;
    ZipWriterLimits limits;
    limits.max_archive_size = both + c.room;
    std::unique_ptr<ZipWriter> writer = Create(limits);
    ASSERT_EQ(writer->AddFile(u"a.zip", first), ZipStatus::kOk);
    const uint64_t size_before = ArchiveSize();
    EXPECT_EQ(writer->AddFile(c.second_name, second), c.second_status);
    if (c.second_status == ZipStatus::kBadArgument) {
      EXPECT_EQ(ArchiveSize(), size_before);
    }
    // An archive that is full takes not even an empty entry more.
    if (c.second_status == ZipStatus::kOk) {
      EXPECT_EQ(writer->AddFile(u"c", Source("empty", "")), ZipStatus::kBadArgument);
    }
    ASSERT_EQ(writer->Close(), ZipStatus::kOk);

    const ZipListing listing = Listing();
    EXPECT_EQ(listing.entries.size(), c.second_status == ZipStatus::kOk ? 2u : 1u);
    EXPECT_LE(ArchiveSize(), limits.max_archive_size);
    if (c.second_status == ZipStatus::kOk) {
      EXPECT_EQ(ArchiveSize(), limits.max_archive_size);
    }
    EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
  }
}

// -------------------------------------------------------------------------------- failures

TEST_F(ZipWriterTest, EntryWhoseWriteFailsIsLeftOutAndTheNextTakesItsPlace) {
  // Each entry of one data chunk is written in three writes: provisional header, data, final
  // header. Entry 2 uses writes 3, 4 and 5.
  const struct {
    const char* what;
    int failing_write;
  } cases[] = {{"provisional header", 3}, {"data", 4}, {"final header", 5}};
  const std::u16string one = Source("one", "first entry");
  const std::u16string two = Source("two", "second entry, which fails");
  const std::u16string three = Source("three", "third entry");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::FaultyFileSystem faulty({.failing_write = c.failing_write});
    platform::ScopedFileSystem scope(faulty);
    std::unique_ptr<ZipWriter> writer = Create();
    ASSERT_EQ(writer->AddFile(u"one.zip", one), ZipStatus::kOk);
    EXPECT_EQ(writer->AddFile(u"two.zip", two), ZipStatus::kWriteFailed);
    ASSERT_EQ(writer->AddFile(u"three.zip", three), ZipStatus::kOk);
    ASSERT_EQ(writer->Close(), ZipStatus::kOk);

    const ZipListing listing = Listing();
    ASSERT_EQ(EntryNames(listing), (std::vector<std::string>{"one.zip", "three.zip"}));
    EXPECT_EQ(listing.entries[1].data, "third entry");
    EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
  }
}

TEST_F(ZipWriterTest, FailedRepositioningStaysPendingAndGivesUpTheArchive) {
  // Each entry repositions twice: to its start, and back to its header to complete it.
  const std::u16string source = Source("a", "alpha");
  for (int failing_seek : {0, 1}) {
    SCOPED_TRACE(failing_seek);
    testing::FaultyFileSystem faulty({.failing_seek = failing_seek});
    platform::ScopedFileSystem scope(faulty);
    std::unique_ptr<ZipWriter> writer = Create();
    EXPECT_EQ(writer->AddFile(u"a", source), ZipStatus::kSeekFailed);
    const int writes = faulty.writes();
    EXPECT_EQ(writer->AddFile(u"b", source), ZipStatus::kPreviousFailure);
    // No central directory is written where the file's position is not known.
    EXPECT_EQ(writer->Close(), ZipStatus::kSeekFailed);
    EXPECT_EQ(faulty.writes(), writes);
    EXPECT_EQ(writer->Close(), ZipStatus::kOk);
  }
}

TEST_F(ZipWriterTest, FullDiskIsReportedWhereverItStops) {
  // One entry of 100 stored bytes: 152 bytes of entry, 60 of central header, 22 of end record.
  const std::u16string source = Source("a", std::string(100, 'a'));
  const struct {
    const char* what;
    uint64_t capacity;
    ZipStatus add_status;
    ZipStatus close_status;
  } cases[] = {
      {"in the data", 100, ZipStatus::kWriteFailed, ZipStatus::kWriteFailed},
      {"before the central directory", 152, ZipStatus::kOk, ZipStatus::kWriteFailed},
      {"in the end record", 152 + 60 + 21, ZipStatus::kOk, ZipStatus::kWriteFailed},
      {"room enough", 152 + 60 + 22, ZipStatus::kOk, ZipStatus::kOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::FaultyFileSystem faulty({.capacity = c.capacity});
    platform::ScopedFileSystem scope(faulty);
    std::unique_ptr<ZipWriter> writer = Create();
    EXPECT_EQ(writer->AddFile(u"a.zip", source), c.add_status);
    EXPECT_EQ(writer->Close(), c.close_status);
  }
}

// ---------------------------------------------------------------------------------- peers

TEST_F(ZipWriterTest, UnzipAndPythonAcceptWhatTheWriterMakes) {
  const bool unzip = testing::UnzipTest("/nonexistent").available;
  const bool python = testing::PythonZipTest("/nonexistent").available;
  if (!unzip && !python) GTEST_SKIP() << "neither unzip nor python3 is installed";

  std::string text;
  for (int i = 0; text.size() < 100000; ++i) text += "line " + std::to_string(i) + "\n";
  const std::string noise = RandomBytes(50000, 11);
  const struct {
    std::u16string name;
    std::string content;
    ZipEntryOptions options;
  } entries[] = {
      {u"mimetype", "application/vnd.oasis.opendocument.spreadsheet", {ZipMethod::kStored, false}},
      {u"content.xml", text, {}},
      {u"empty", "", {}},
      {u"empty.gz", "", {}},
      {u"Pictures\\noise.png", noise, {}},
      {u"Pictures\\noise.zip", noise, {}},
      {u"\u00C9t\u00E9\\r\u00E9sum\u00E9.txt", "accents", {}},
      {u"forced-deflate.zip", text, {ZipMethod::kDeflated, true}},
  };
  std::unique_ptr<ZipWriter> writer = Create();
  std::string expected_names;
  int count = 0;
  for (const auto& entry : entries) {
    const std::u16string source = Source("peer-" + std::to_string(count++), entry.content);
    ASSERT_EQ(writer->AddFile(entry.name, source, entry.options), ZipStatus::kOk);
    std::string name = testing::U8(entry.name);
    std::replace(name.begin(), name.end(), '\\', '/');
    expected_names += name + "\n";
  }
  ASSERT_EQ(writer->Close(), ZipStatus::kOk);

  EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
  const testing::ToolVerdict python_verdict = testing::PythonZipTest(ArchivePath());
  if (python_verdict.available) {
    EXPECT_EQ(python_verdict.output, expected_names);
  }
}

}  // namespace
}  // namespace vellomir
