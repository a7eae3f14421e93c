// Record layouts, little-endian field access and time conversions shared by the zip reader and
// the zip writer. Private to the archive layer and the member salvage, which read the same
// records.
#ifndef VELLOMIR_ARCHIVE_ZIP_FORMAT_H_
#define VELLOMIR_ARCHIVE_ZIP_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "platform/platform.h"

namespace vellomir::zipformat {

// Record signatures as 32-bit little-endian values.
inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;     // PK\3\4
inline constexpr uint32_t kDataDescriptorSignature = 0x08074B50;  // PK\7\8
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;   // PK\1\2
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;       // PK\5\6
inline constexpr uint32_t kZip64EndRecordSignature = 0x06064B50;  // PK\6\6
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;    // PK\6\7

inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndRecordSize = 22;
inline constexpr size_t kDataDescriptorSize = 16;  // with its signature

inline constexpr uint16_t kFlagDataDescriptor = 0x0008;  // sizes and CRC follow the data
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;
inline constexpr uint16_t kExtendedTimestampId = 0x5455;  // "UT"

// General purpose flags the writer sets.
inline constexpr uint16_t kFlagMaximumCompression = 0x0002;  // deflated at level 8 or 9
inline constexpr uint16_t kFlagUtf8Name = 0x0800;            // the name is UTF-8

// A bounds-checked little-endian reader over a span of bytes. A read past the end sets the sticky
// failure flag and yields 0, so a whole record can be parsed and checked once at the end.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  void Skip(size_t count) {
    if (!Fits(count)) {
      ok_ = false;
      position_ = bytes_.size();
      return;
    }
    position_ += count;
  }
  size_t position() const { return position_; }
  size_t remaining() const { return bytes_.size() - position_; }
  bool ok() const { return ok_; }

 private:
  bool Fits(size_t count) const { return count <= bytes_.size() - position_; }
  uint64_t Take(size_t count) {
    if (!Fits(count)) {
      ok_ = false;
      position_ = bytes_.size();
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) {
      value |= static_cast<uint64_t>(bytes_[position_ + i]) << (8 * i);
    }
    position_ += count;
    return value;
  }

  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
  bool ok_ = true;
};

// Appends little-endian fields to a byte string.
class ByteWriter {
 public:
  void U8(uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
  void U16(uint16_t value) { Put(value, 2); }
  void U32(uint32_t value) { Put(value, 4); }
  void Bytes(std::string_view data) { bytes_.append(data); }
  const std::string& bytes() const { return bytes_; }

 private:
  void Put(uint64_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes_.push_back(static_cast<char>(value >> (8 * i)));
  }
  std::string bytes_;
};

inline uint32_t LoadU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void StoreU32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The values of one entry's headers: all of its central directory header, and (but for the
// version made by, the attributes and the offset) its local header.
struct ZipEntryRecord {
  uint16_t version_made_by = 0;
  uint16_t version_needed = 20;
  uint16_t flags = 0;
  uint16_t method = kMethodStored;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint32_t external_attributes = 0;
  uint32_t local_header_offset = 0;
  std::string name;
  std::string local_extra;
  std::string central_extra;

  size_t LocalHeaderSize() const { return kLocalHeaderSize + name.size() + local_extra.size(); }
  size_t CentralHeaderSize() const {
    return kCentralHeaderSize + name.size() + central_extra.size();
  }
};

// The local header with its name and extra field.
std::string EncodeLocalHeader(const ZipEntryRecord& record);
// Appends the central directory header with its name and extra field.
void AppendCentralHeader(const ZipEntryRecord& record, ByteWriter& out);
// The end of central directory record of a one-disk archive without comment.
std::string EncodeEndRecord(size_t entries, uint64_t central_size, uint64_t central_offset);

// A calendar date and time of day, without time zone.
struct CivilTime {
  int year = 1980;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Seconds since 1970-01-01 00:00:00 of a civil time (proleptic Gregorian calendar).
int64_t CivilToUnixSeconds(const CivilTime& civil);
CivilTime UnixSecondsToCivil(int64_t seconds);

platform::FileTime UnixSecondsToFileTime(int64_t seconds);
int64_t FileTimeToUnixSeconds(platform::FileTime time);

// An MS-DOS date and time (two-second resolution) as a civil time. Fields out of range are taken
// as the arithmetic gives them, as the Windows conversion does not refuse them either.
CivilTime DosToCivil(uint16_t dos_date, uint16_t dos_time);
// The instant an MS-DOS stamp names. The stamp is local time; `local_offset_seconds` (east of
// UTC positive) is the offset the writer applied, so that a member's time survives a repair.
platform::FileTime DosStampToFileTime(uint16_t dos_date, uint16_t dos_time,
                                      int64_t local_offset_seconds);
// A civil time as MS-DOS date and time; years before 1980 become 1980-01-01 00:00:00 and years
// after 2107 become 2107-12-31 23:59:58, the ends of the format's range.
void CivilToDos(const CivilTime& civil, uint16_t* dos_date, uint16_t* dos_time);

}  // namespace vellomir::zipformat

#endif  // VELLOMIR_ARCHIVE_ZIP_FORMAT_H_
