// Writes zip containers. Each entry's local header goes out first with provisional values and is
// completed once the data is written, so the archive needs no data descriptors; the central
// directory and the end record follow at Close. Data moves through fixed 16 KiB buffers, so memory
// does not grow with the files; only the small per-entry records wait in memory for Close.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <vector>

#include "archive/archive.h"
#include "archive/zip_format.h"

namespace vellomir {
namespace {

namespace zf = zipformat;
using zf::ZipEntryRecord;

constexpr size_t kTransferSize = 16384;
constexpr uint16_t kVersionNeeded = 20;
// Zip format version 2.3 in the low byte, host system 11 in the high byte.
constexpr uint16_t kVersionMadeBy = 0x0B17;
constexpr int kCompressionLevel = 8;
constexpr int kRawDeflateWindowBits = -15;  // 32 KiB window, no zlib header or trailer
constexpr int kDeflateMemLevel = 8;
constexpr uint8_t kTimestampFlags = 0x07;  // modification, access and creation times present

// The Unix-style mode in the high half of the external attributes.
constexpr uint32_t kModeRegularFile = 0x8000;
constexpr uint32_t kModeFolder = 0x4000;
constexpr uint32_t kModeOwnerRead = 0x0100;
constexpr uint32_t kModeOwnerWrite = 0x0080;
constexpr uint32_t kDosAttributeBits = platform::kAttrReadOnly | platform::kAttrHidden |
                                       platform::kAttrSystem | platform::kAttrDirectory |
                                       platform::kAttrArchive;

// What the writer learns of a source when it opens it.
struct SourceFileInfo {
  uint32_t external_attributes = 0;
  uint64_t size = 0;
  // Unix times for the extended timestamp field.
  int64_t modification = 0;
  int64_t access = 0;
  int64_t creation = 0;
  uint16_t dos_date = 0;
  uint16_t dos_time = 0;
};

uint32_t ExternalAttributes(uint32_t attributes) {
  const bool folder = (attributes & platform::kAttrDirectory) != 0;
  const bool read_only = (attributes & platform::kAttrReadOnly) != 0;
  const uint32_t mode = (folder ? kModeFolder : kModeRegularFile) | kModeOwnerRead |
                        (read_only ? 0 : kModeOwnerWrite);
  return mode << 16 | (attributes & kDosAttributeBits);
}

// A Unix time whose local calendar date is moved into 1970..2037, keeping the local time of day,
// so that it fits the field's 32 bits whoever reads them as signed.
int64_t TimestampFieldTime(platform::FileTime time, int64_t local_offset) {
  zf::CivilTime local = zf::UnixSecondsToCivil(zf::FileTimeToUnixSeconds(time) + local_offset);
  if (local.year < 1970) {
    local.year = 1970, local.month = 1, local.day = 1;
  } else if (local.year > 2037) {
    local.year = 2037, local.month = 12, local.day = 31;
  }
  return zf::CivilToUnixSeconds(local) - local_offset;
}

// Every time is shifted by the local offset as it is now, whatever the season of the file's own
// date, so all entries of one archive agree with each other.
SourceFileInfo ReadSourceFileInfo(const platform::FileInfo& info) {
  const int64_t local_offset = platform::Fs().LocalTimeOffsetSeconds();
  SourceFileInfo source;
  source.external_attributes = ExternalAttributes(info.attributes);
  source.size = info.size;
  source.modification = TimestampFieldTime(info.times.last_write, local_offset);
  source.access = TimestampFieldTime(info.times.last_access, local_offset);
  source.creation = TimestampFieldTime(info.times.creation, local_offset);
  const zf::CivilTime local_write =
      zf::UnixSecondsToCivil(zf::FileTimeToUnixSeconds(info.times.last_write) + local_offset);
  zf::CivilToDos(local_write, &source.dos_date, &source.dos_time);
  return source;
}

// The extended timestamp field. Its local form holds all three times, the central form the
// modification time alone; the flags say which times the local form holds in both.
enum class FieldForm { kLocal, kCentral };
std::string TimestampField(const SourceFileInfo& source, FieldForm form) {
  const bool local = form == FieldForm::kLocal;
  zf::ByteWriter field;
  field.U16(zf::kExtendedTimestampId);
  field.U16(local ? 13 : 5);
  field.U8(kTimestampFlags);
  // Only the low 32 bits of each time are written.
  field.U32(static_cast<uint32_t>(source.modification));
  if (local) {
    field.U32(static_cast<uint32_t>(source.access));
    field.U32(static_cast<uint32_t>(source.creation));
  }
  return field.bytes();
}

// FromNative turns every byte that is not part of valid UTF-8 into an escape that
// ToUtf8ForDisplay writes as U+FFFD, so the round trip gives the same bytes only for valid UTF-8.
bool IsValidUtf8(std::string_view bytes) {
  return platform::ToUtf8ForDisplay(platform::FromNative(bytes)) == bytes;
}

// Readers take names without the UTF-8 flag as code page 437. Pure ASCII reads the same either
// way and keeps the flags readers of document packages expect; other names are marked when they
// are UTF-8 and left unmarked when they are bytes of no known encoding.
uint16_t NameFlags(std::string_view name) {
  const bool ascii =
      std::all_of(name.begin(), name.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
  return !ascii && IsValidUtf8(name) ? zf::kFlagUtf8Name : 0;
}

uint16_t ChooseMethod(ZipMethod method, std::string_view name) {
  switch (method) {
    case ZipMethod::kStored:
      return zf::kMethodStored;
    case ZipMethod::kDeflated:
      return zf::kMethodDeflated;
    case ZipMethod::kBySuffix:
      break;
  }
  return HasStoredSuffix(name) ? zf::kMethodStored : zf::kMethodDeflated;
}

// The size of the entry's data as far as it is known before the data is written.
uint64_t KnownDataSize(const ZipEntryRecord& record, const SourceFileInfo& source) {
  return record.method == zf::kMethodStored ? source.size : 0;
}

// A raw deflate stream at level 8, ended when the object goes.
class Deflater {
 public:
  Deflater() {
    ready_ = deflateInit2(&stream_, kCompressionLevel, Z_DEFLATED, kRawDeflateWindowBits,
                          kDeflateMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
  }
  ~Deflater() {
    if (ready_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  bool ready() const { return ready_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

}  // namespace

struct ZipWriter::State {
  std::unique_ptr<platform::File> output;
  ZipWriterLimits limits;
  // Kept 64 bits wide so that the limits can be checked before anything wraps.
  uint64_t position = 0;
  uint64_t central_size = 0;  // bytes of the central headers of the entries so far
  ZipStatus pending_failure = ZipStatus::kOk;
  bool closed = false;
  std::vector<ZipEntryRecord> entries;
  std::vector<uint8_t> input = std::vector<uint8_t>(kTransferSize);
  std::vector<uint8_t> transfer = std::vector<uint8_t>(kTransferSize);

  // True when an entry that ends at `entry_end`, with a central header of `central_header_size`
  // bytes, leaves room for the central directory and the end record within the limit.
  bool Fits(uint64_t entry_end, size_t central_header_size) const {
    return entry_end + central_size + central_header_size + zf::kEndRecordSize <=
           limits.max_archive_size;
  }

  // Moves the output to the write position. A short write leaves the file's own position
  // anywhere in what it wrote; starting every entry and the central directory from the position
  // counted here keeps every offset in the central directory true.
  ZipStatus SeekToWritePosition() {
    if (!output->Seek(static_cast<int64_t>(position))) {
      pending_failure = ZipStatus::kSeekFailed;
      return ZipStatus::kSeekFailed;
    }
    return ZipStatus::kOk;
  }

  // A failed write may have put part of its bytes into the file. The next entry starts after
  // them, so that nothing stale is left behind the end record.
  void SkipPastFailedWrite() {
    const int64_t size = output->Size();
    if (size < 0) {
      pending_failure = ZipStatus::kSeekFailed;  // where the file ends is not known
    } else {
      position = std::max(position, static_cast<uint64_t>(size));
    }
  }

  ZipStatus AddEntry(ZipEntryRecord& record, platform::File& source,
                     const SourceFileInfo& source_info);
  ZipStatus WriteEntry(ZipEntryRecord& record, platform::File& source,
                       const SourceFileInfo& source_info);
  ZipStatus WriteEntryData(const ZipEntryRecord& record, platform::File& source,
                           uint64_t* read_size, uint32_t* crc);
  ZipStatus WriteStored(const ZipEntryRecord& record, platform::File& source, uint64_t* read_size,
                        uint32_t* crc);
  ZipStatus WriteDeflated(const ZipEntryRecord& record, platform::File& source, uint64_t* read_size,
                          uint32_t* crc);
  // Reads the next chunk of the source into `input`, counting and checksumming it. The number of
  // bytes, 0 at the end, or -1 when the read failed or the source grew past the limit.
  int64_t ReadChunk(platform::File& source, uint64_t* read_size, uint32_t* crc);
  // Appends entry data at the write position, refusing what would take the archive past its
  // limit.
  bool WriteData(const ZipEntryRecord& record, const uint8_t* bytes, size_t size);
  ZipStatus WriteCentralDirectory();
};

ZipWriter::ZipWriter(std::unique_ptr<State> state)
    : ZipHandle(Kind::kWriter), state_(std::move(state)) {}

ZipWriter::~ZipWriter() = default;

std::unique_ptr<ZipWriter> ZipWriter::Create(const platform::Path& path, ZipStatus* status,
                                             const ZipWriterLimits& limits) {
  std::unique_ptr<platform::File> output =
      platform::Fs().CreateFile(path, platform::CreateMode::kReplace, 0);
  if (status != nullptr) *status = output ? ZipStatus::kOk : ZipStatus::kCannotOpen;
  if (!output) return nullptr;
  auto state = std::make_unique<State>();
  state->output = std::move(output);
  // Limits can be lowered, never raised past what the fields hold.
  const ZipWriterLimits format;
  state->limits.max_archive_size = std::min(limits.max_archive_size, format.max_archive_size);
  state->limits.max_source_size = std::min(limits.max_source_size, format.max_source_size);
  state->limits.max_entries = std::min(limits.max_entries, format.max_entries);
  state->limits.max_name_size = std::min(limits.max_name_size, format.max_name_size);
  return std::unique_ptr<ZipWriter>(new ZipWriter(std::move(state)));
}

ZipStatus ZipWriter::AddFile(std::u16string_view name, const platform::Path& source,
                             const ZipEntryOptions& options) {
  State& state = *state_;
  std::string native_name = platform::ToNative(name);
  // A NUL would end the name early for many readers, so that they would see another name.
  if (native_name.find('\0') != std::string::npos) return ZipStatus::kBadArgument;
  if (state.pending_failure != ZipStatus::kOk) return ZipStatus::kPreviousFailure;
  if (state.closed) return ZipStatus::kAlreadyClosed;
  if (native_name.empty()) return ZipStatus::kBadArgument;
  if (native_name.size() > state.limits.max_name_size ||
      state.entries.size() >= state.limits.max_entries) {
    return ZipStatus::kBadArgument;
  }
  std::replace(native_name.begin(), native_name.end(), '\\', '/');

  std::unique_ptr<platform::File> file = platform::Fs().OpenSharedRead(source);
  if (!file) return ZipStatus::kCannotOpen;
  const std::optional<platform::FileInfo> info = file->Info();
  if (!info) return ZipStatus::kCannotOpen;
  const SourceFileInfo source_info = ReadSourceFileInfo(*info);
  if (source_info.size > state.limits.max_source_size) return ZipStatus::kBadArgument;

  ZipEntryRecord record;
  record.version_made_by = kVersionMadeBy;
  record.version_needed = kVersionNeeded;
  record.method = ChooseMethod(options.method, native_name);
  record.flags = NameFlags(native_name);
  if (record.method == zf::kMethodDeflated) record.flags |= zf::kFlagMaximumCompression;
  record.dos_date = source_info.dos_date;
  record.dos_time = source_info.dos_time;
  record.external_attributes = source_info.external_attributes;
  record.name = std::move(native_name);
  if (options.timestamp_field) {
    record.local_extra = TimestampField(source_info, FieldForm::kLocal);
    record.central_extra = TimestampField(source_info, FieldForm::kCentral);
  }
  return state.AddEntry(record, *file, source_info);
}

ZipStatus ZipWriter::State::AddEntry(ZipEntryRecord& record, platform::File& source,
                                     const SourceFileInfo& source_info) {
  // A stored entry's size is known now; a deflated one's is checked as its data goes out.
  if (!Fits(position + record.LocalHeaderSize() + KnownDataSize(record, source_info),
            record.CentralHeaderSize())) {
    return ZipStatus::kBadArgument;
  }
  if (const ZipStatus status = SeekToWritePosition(); status != ZipStatus::kOk) return status;
  const ZipStatus status = WriteEntry(record, source, source_info);
  if (status == ZipStatus::kWriteFailed) SkipPastFailedWrite();
  if (status != ZipStatus::kOk) return status;
  central_size += record.CentralHeaderSize();
  entries.push_back(std::move(record));
  return ZipStatus::kOk;
}

ZipStatus ZipWriter::State::WriteEntry(ZipEntryRecord& record, platform::File& source,
                                       const SourceFileInfo& source_info) {
  // Provisional values until the data is written; the source size is below the limit, so it fits.
  record.local_header_offset = static_cast<uint32_t>(position);
  record.flags |= zf::kFlagDataDescriptor;
  record.compressed_size = static_cast<uint32_t>(KnownDataSize(record, source_info));
  record.uncompressed_size = static_cast<uint32_t>(source_info.size);
  if (!output->Write(zf::EncodeLocalHeader(record).data(), record.LocalHeaderSize())) {
    return ZipStatus::kWriteFailed;
  }
  position += record.LocalHeaderSize();

  const uint64_t data_start = position;
  uint64_t read_size = 0;
  uint32_t crc = 0;
  const ZipStatus data_status = WriteEntryData(record, source, &read_size, &crc);
  if (data_status != ZipStatus::kOk) return data_status;

  record.flags &= static_cast<uint16_t>(~zf::kFlagDataDescriptor);
  record.crc = crc;
  record.compressed_size = static_cast<uint32_t>(position - data_start);
  record.uncompressed_size = static_cast<uint32_t>(read_size);
  if (!output->Seek(record.local_header_offset)) {
    pending_failure = ZipStatus::kSeekFailed;
    return ZipStatus::kSeekFailed;
  }
  if (!output->Write(zf::EncodeLocalHeader(record).data(), record.LocalHeaderSize())) {
    return ZipStatus::kWriteFailed;
  }
  return ZipStatus::kOk;
}

ZipStatus ZipWriter::State::WriteEntryData(const ZipEntryRecord& record, platform::File& source,
                                           uint64_t* read_size, uint32_t* crc) {
  return record.method == zf::kMethodStored ? WriteStored(record, source, read_size, crc)
                                            : WriteDeflated(record, source, read_size, crc);
}

int64_t ZipWriter::State::ReadChunk(platform::File& source, uint64_t* read_size, uint32_t* crc) {
  const int64_t count = source.Read(input.data(), input.size());
  if (count <= 0) return count;
  // A source that grew since it was opened must still fit the size field.
  *read_size += static_cast<uint64_t>(count);
  if (*read_size > limits.max_source_size) return -1;
  *crc = static_cast<uint32_t>(crc32(*crc, input.data(), static_cast<uInt>(count)));
  return count;
}

bool ZipWriter::State::WriteData(const ZipEntryRecord& record, const uint8_t* bytes, size_t size) {
  if (!Fits(position + size, record.CentralHeaderSize())) return false;
  if (!output->Write(bytes, size)) return false;
  position += size;
  return true;
}

ZipStatus ZipWriter::State::WriteStored(const ZipEntryRecord& record, platform::File& source,
                                        uint64_t* read_size, uint32_t* crc) {
  for (;;) {
    const int64_t count = ReadChunk(source, read_size, crc);
    if (count == 0) return ZipStatus::kOk;
    // A read error must not pass for the end of the file: the entry would be cut short silently.
    if (count < 0) return ZipStatus::kWriteFailed;
    if (!WriteData(record, input.data(), static_cast<size_t>(count))) {
      return ZipStatus::kWriteFailed;
    }
  }
}

ZipStatus ZipWriter::State::WriteDeflated(const ZipEntryRecord& record, platform::File& source,
                                          uint64_t* read_size, uint32_t* crc) {
  Deflater deflater;
  if (!deflater.ready()) return ZipStatus::kWriteFailed;
  z_stream& stream = deflater.stream();
  int flush = Z_NO_FLUSH;
  int result = Z_OK;
  while (flush != Z_FINISH) {
    const int64_t count = ReadChunk(source, read_size, crc);
    if (count < 0) return ZipStatus::kWriteFailed;
    flush = count == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = input.data();
    stream.avail_in = static_cast<uInt>(count);
    do {
      stream.next_out = transfer.data();
      stream.avail_out = static_cast<uInt>(transfer.size());
      result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) return ZipStatus::kWriteFailed;
      const size_t produced = transfer.size() - stream.avail_out;
      if (produced > 0 && !WriteData(record, transfer.data(), produced)) {
        return ZipStatus::kWriteFailed;
      }
    } while (stream.avail_out == 0);
  }
  return result == Z_STREAM_END ? ZipStatus::kOk : ZipStatus::kWriteFailed;
}

ZipStatus ZipWriter::Close() {
  State& state = *state_;
  if (state.closed) return ZipStatus::kOk;
  state.closed = true;
  ZipStatus status = state.pending_failure;
  // After a failed repositioning the file's position is unknown, and a central directory written
  // there could land on top of entry data: the archive is given up instead.
  if (status == ZipStatus::kOk) status = state.SeekToWritePosition();
  if (status == ZipStatus::kOk) status = state.WriteCentralDirectory();
  state.entries.clear();
  state.entries.shrink_to_fit();
  state.output.reset();
  return status;
}

ZipStatus ZipWriter::State::WriteCentralDirectory() {
  const uint64_t central_offset = position;
  zf::ByteWriter batch;
  const auto flush = [&] {
    const bool written = output->Write(batch.bytes().data(), batch.bytes().size());
    position += batch.bytes().size();
    batch = zf::ByteWriter();
    return written;
  };
  for (const ZipEntryRecord& record : entries) {
    zf::AppendCentralHeader(record, batch);
    if (batch.bytes().size() >= kTransferSize && !flush()) return ZipStatus::kWriteFailed;
  }
  if (!flush()) return ZipStatus::kWriteFailed;
  const std::string end =
      zf::EncodeEndRecord(entries.size(), position - central_offset, central_offset);
  if (!output->Write(end.data(), end.size())) return ZipStatus::kWriteFailed;
  position += end.size();
  return ZipStatus::kOk;
}

ZipStatus ZipWriter::AddFile(ZipHandle* handle, std::u16string_view name,
                             const platform::Path& source, const ZipEntryOptions& options) {
  if (handle == nullptr) return ZipStatus::kBadArgument;
  if (handle->kind() != Kind::kWriter) return ZipStatus::kWrongKind;
  return static_cast<ZipWriter*>(handle)->AddFile(name, source, options);
}

ZipStatus ZipWriter::Close(std::unique_ptr<ZipHandle>& handle) {
  if (!handle) return ZipStatus::kBadArgument;
  if (handle->kind() != Kind::kWriter) return ZipStatus::kWrongKind;
  const ZipStatus status = static_cast<ZipWriter*>(handle.get())->Close();
  handle.reset();
  return status;
}

bool HasStoredSuffix(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view suffix = name.substr(dot);
  static constexpr std::array<std::string_view, 8> kStoredSuffixes = {
      ".Z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"};
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return std::any_of(kStoredSuffixes.begin(), kStoredSuffixes.end(), [&](std::string_view known) {
    return known.size() == suffix.size() &&
           std::equal(known.begin(), known.end(), suffix.begin(),
                      [&](char a, char b) { return lower(a) == lower(b); });
  });
}

}  // namespace vellomir
