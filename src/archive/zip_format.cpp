// Calendar arithmetic for the zip format's time fields. Pure computation: the clock and the time
// zone come from the platform layer.
#include "archive/zip_format.h"

namespace vellomir::zipformat {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kUnixEpochInFileTimeSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000;

// Days since 1970-01-01 of a civil date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

}  // namespace

int64_t CivilToUnixSeconds(const CivilTime& civil) {
  return DaysFromCivil(civil.year, civil.month, civil.day) * kSecondsPerDay +
         int64_t{civil.hour} * 3600 + int64_t{civil.minute} * 60 + civil.second;
}

CivilTime UnixSecondsToCivil(int64_t seconds) {
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  // civil_from_days
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  CivilTime civil;
  civil.day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  civil.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  civil.year = static_cast<int>(year_of_era + era * 400 + (civil.month <= 2 ? 1 : 0));
  civil.hour = static_cast<int>(rest / 3600);
  civil.minute = static_cast<int>(rest % 3600 / 60);
  civil.second = static_cast<int>(rest % 60);
  return civil;
}

platform::FileTime UnixSecondsToFileTime(int64_t seconds) {
  const int64_t since_1601 = seconds + kUnixEpochInFileTimeSeconds;
  if (since_1601 < 0) return 0;
  return static_cast<uint64_t>(since_1601) * kFileTimeUnitsPerSecond;
}

int64_t FileTimeToUnixSeconds(platform::FileTime time) {
  return static_cast<int64_t>(time / kFileTimeUnitsPerSecond) - kUnixEpochInFileTimeSeconds;
}

CivilTime DosToCivil(uint16_t dos_date, uint16_t dos_time) {
  CivilTime civil;
  civil.year = 1980 + (dos_date >> 9);
  civil.month = (dos_date >> 5) & 0x0F;
  civil.day = dos_date & 0x1F;
  civil.hour = dos_time >> 11;
  civil.minute = (dos_time >> 5) & 0x3F;
  civil.second = (dos_time & 0x1F) * 2;
  return civil;
}

namespace {

// The fields that local and central headers share, in the same order, from "version needed" to
// the name length.
void AppendCommonFields(const ZipEntryRecord& record, ByteWriter& out) {
  out.U16(record.version_needed);
  out.U16(record.flags);
  out.U16(record.method);
  out.U16(record.dos_time);
  out.U16(record.dos_date);
  out.U32(record.crc);
  out.U32(record.compressed_size);
  out.U32(record.uncompressed_size);
  out.U16(static_cast<uint16_t>(record.name.size()));
}

}  // namespace

std::string EncodeLocalHeader(const ZipEntryRecord& record) {
  ByteWriter header;
  header.U32(kLocalHeaderSignature);
  AppendCommonFields(record, header);
  header.U16(static_cast<uint16_t>(record.local_extra.size()));
  header.Bytes(record.name);
  header.Bytes(record.local_extra);
  return header.bytes();
}

void AppendCentralHeader(const ZipEntryRecord& record, ByteWriter& out) {
  out.U32(kCentralHeaderSignature);
  out.U16(record.version_made_by);
  AppendCommonFields(record, out);
  out.U16(static_cast<uint16_t>(record.central_extra.size()));
  out.U16(0);  // comment length
  out.U16(0);  // disk number start
  out.U16(0);  // internal attributes
  out.U32(record.external_attributes);
  out.U32(record.local_header_offset);
  out.Bytes(record.name);
  out.Bytes(record.central_extra);
}

std::string EncodeEndRecord(size_t entries, uint64_t central_size, uint64_t central_offset) {
  ByteWriter end;
  end.U32(kEndRecordSignature);
  end.U16(0);  // this disk
  end.U16(0);  // disk of the central directory
  end.U16(static_cast<uint16_t>(entries));
  end.U16(static_cast<uint16_t>(entries));
  end.U32(static_cast<uint32_t>(central_size));
  end.U32(static_cast<uint32_t>(central_offset));
  end.U16(0);  // comment length
  return end.bytes();
}

platform::FileTime DosStampToFileTime(uint16_t dos_date, uint16_t dos_time,
                                      int64_t local_offset_seconds) {
  const int64_t local_seconds = CivilToUnixSeconds(DosToCivil(dos_date, dos_time));
  return UnixSecondsToFileTime(local_seconds - local_offset_seconds);
}

void CivilToDos(const CivilTime& civil, uint16_t* dos_date, uint16_t* dos_time) {
  CivilTime clamped = civil;
  if (civil.year < 1980) {
    clamped = CivilTime{1980, 1, 1, 0, 0, 0};
  } else if (civil.year > 2107) {
    clamped = CivilTime{2107, 12, 31, 23, 59, 58};
  }
  *dos_date =
      static_cast<uint16_t>(((clamped.year - 1980) << 9) | (clamped.month << 5) | clamped.day);
  *dos_time =
      static_cast<uint16_t>((clamped.hour << 11) | (clamped.minute << 5) | (clamped.second / 2));
}

}  // namespace vellomir::zipformat
