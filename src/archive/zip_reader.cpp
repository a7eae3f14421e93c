// The zip reader: finds the end record, reads the first central record, checks its local header
// and writes the entry's data, stored or inflated, into a file.
//
// Every field comes from a file that may be damaged. Reads of headers are exact: a header that
// ends early is a read failure, never a half-filled record. Output is fenced at the central
// record's uncompressed size, and nothing is allocated from a size the archive gives beyond the
// fixed buffers (the local extra field, at most 65,535 bytes, is read only once it is known to lie
// inside the file).
#include <zlib.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "archive/archive.h"
#include "archive/zip_format.h"

namespace vellomir {
namespace {

using platform::Fs;
using platform::Path;
using zipformat::ByteReader;

constexpr size_t kEndSearchWindow = 1028;
constexpr int64_t kEndSearchLimit = 65535;
constexpr size_t kInputBufferSize = 16384;
constexpr size_t kMaxNameBytes = 259;
constexpr size_t kMaxWideNameChars = 258;
// Unix times before this moment are refused by the calendar conversion the format's tools use;
// they stand for "now", as those tools make of them.
constexpr int64_t kEarliestUnixTime = -43200;  // 1969-12-31 12:00:00 UTC

struct CentralRecord {
  uint16_t version_made_by = 0;
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dos_date_time = 0;  // date in the high half, time in the low half
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
  uint16_t comment_length = 0;
  uint16_t disk_number_start = 0;
  uint16_t internal_attributes = 0;
  uint32_t external_attributes = 0;
  uint32_t local_header_offset = 0;
  std::string name;
};

// Where the local header check found the entry's extra field and data.
struct LocalLayout {
  int64_t extra_offset = 0;
  uint16_t extra_length = 0;
  int64_t data_offset = 0;
};

uint32_t AttributesOf(uint32_t external) {
  uint32_t attributes = platform::kAttrNormal;
  if ((external & 0x40000000u) != 0 || (external & 0x10u) != 0) {
    attributes = platform::kAttrNormal | platform::kAttrDirectory;
  }
  if ((external & 0x20u) != 0) attributes |= platform::kAttrArchive;
  if ((external & 0x02u) != 0) attributes |= platform::kAttrHidden;
  if ((external & 0x00800000u) == 0 || (external & 0x01u) != 0) {
    attributes |= platform::kAttrReadOnly;
  }
  if ((external & 0x04u) != 0) attributes |= platform::kAttrSystem;
  return attributes;
}

platform::FileTime DosToFileTime(uint32_t dos_date_time) {
  return zipformat::DosStampToFileTime(static_cast<uint16_t>(dos_date_time >> 16),
                                       static_cast<uint16_t>(dos_date_time),
                                       Fs().LocalTimeOffsetSeconds());
}

platform::FileTime UnixTimeToFileTime(int32_t seconds) {
  if (seconds < kEarliestUnixTime) return Fs().CurrentTime();
  return zipformat::UnixSecondsToFileTime(seconds);
}

// Applies the first extended timestamp block ("UT") of a local extra field. Each time is read only
// when all of its bytes lie inside the field.
void ApplyExtendedTimestamp(std::span<const uint8_t> extra, platform::FileTimes* times) {
  size_t i = 0;
  while (i + 4 < extra.size()) {
    ByteReader block(extra.subspan(i));
    const uint16_t id = block.U16();
    const uint16_t size = block.U16();
    if (id != zipformat::kExtendedTimestampId) {
      i += 4 + size;
      continue;
    }
    const uint8_t flags = block.U8();
    const auto take = [&](platform::FileTime* field) {
      const auto value = static_cast<int32_t>(block.U32());
      if (block.ok()) *field = UnixTimeToFileTime(value);
    };
    if ((flags & 1) != 0) take(&times->last_write);
    if ((flags & 2) != 0) take(&times->last_access);
    if ((flags & 4) != 0) take(&times->creation);
    return;
  }
}

// Creates `relative` below `root` (which ends in a separator), every folder above it first.
// Failures, such as a folder that exists already, are ignored.
void CreateFoldersBelow(const Path& root, std::u16string_view relative) {
  const size_t last = relative.find_last_of(u"/\\");
  if (last != std::u16string_view::npos && last > 0) {
    CreateFoldersBelow(root, relative.substr(0, last));
  }
  Path folder = root;
  for (char16_t c : relative) folder.push_back(c == u'/' || c == u'\\' ? platform::kSeparator : c);
  Fs().CreateFolder(folder);
}

// A folder part that stays below the reader's root: not absolute, no drive, no "..".
bool IsPlainRelative(std::u16string_view path) {
  if (path.empty() || path[0] == u'/' || path[0] == u'\\') return false;
  if (path.size() > 1 && path[1] == u':') return false;
  return path.find(u"../") == std::u16string_view::npos &&
         path.find(u"..\\") == std::u16string_view::npos && path != u"..";
}

}  // namespace

// The open entry: its input buffer, inflate stream and counters.
struct OpenEntry {
  OpenEntry() = default;
  OpenEntry(const OpenEntry&) = delete;
  OpenEntry& operator=(const OpenEntry&) = delete;
  ~OpenEntry() {
    if (stream_ready) inflateEnd(&stream);
  }

  std::array<uint8_t, kInputBufferSize> buffer{};
  size_t buffered = 0;  // bytes of `buffer` not consumed yet, from buffer_position
  size_t buffer_position = 0;
  z_stream stream{};
  bool stream_ready = false;
  bool stream_ended = false;  // the deflate stream reached its end or failed: no more output
  bool stream_complete = false;
  uint64_t compressed_left = 0;
  uint64_t uncompressed_left = 0;
  int64_t next_compressed = 0;  // position of the next compressed byte, within the archive
  uint16_t method = 0;
};

struct ZipReader::State {
  std::unique_ptr<platform::File> file;
  bool seekable = false;
  bool read_error = false;
  int64_t bytes_before = 0;
  uint16_t entry_count = 0;
  int64_t end_record_position = 0;
  uint32_t central_size = 0;
  uint32_t central_offset = 0;

  int64_t record_position = 0;
  bool record_valid = false;
  CentralRecord record;

  std::optional<ZipEntryInfo> cached;
  Path root_folder;
  std::unique_ptr<OpenEntry> entry;

  // Reads exactly `size` bytes at an absolute position. The end of the file inside a header is a
  // read failure.
  bool ReadExact(int64_t position, void* out, size_t size) {
    if (!seekable) return false;
    const int64_t n = platform::ReadAt(*file, position, out, size);
    if (n < 0) read_error = true;
    return n == static_cast<int64_t>(size);
  }

  int64_t FindEndRecord();
  bool ReadCentralRecord(int64_t position, bool with_name, CentralRecord* out);
  bool GoToFirstRecord(bool with_name);
  std::optional<LocalLayout> CheckLocalHeader();
  ZipStatus EntryInfo(ZipEntryInfo* info);
  bool OpenCurrentEntry();
  int64_t ReadEntry(uint8_t* out, size_t length);
};

int64_t ZipReader::State::FindEndRecord() {
  if (!seekable) return 0;
  const int64_t size = file->Size();
  if (size < 0) return 0;
  const int64_t limit = std::min(size, kEndSearchLimit);
  std::array<uint8_t, kEndSearchWindow> window{};
  int64_t back = 4;
  while (back < limit) {
    back = std::min<int64_t>(back + 1024, limit);
    const int64_t window_start = size - back;
    const auto window_length =
        static_cast<size_t>(std::min<int64_t>(kEndSearchWindow, size - window_start));
    if (!ReadExact(window_start, window.data(), window_length)) return 0;
    // The hit nearest the end of the file wins; windows overlap by four bytes, so a signature
    // across a window boundary is still seen.
    for (size_t i = window_length - 4 + 1; i-- > 0;) {
      if (zipformat::LoadU32(&window[i]) == zipformat::kEndRecordSignature) {
        const int64_t found = window_start + static_cast<int64_t>(i);
        if (found != 0) return found;
        break;  // an end record at the very start counts as none
      }
    }
  }
  return 0;
}

bool ZipReader::State::ReadCentralRecord(int64_t position, bool with_name, CentralRecord* out) {
  std::array<uint8_t, zipformat::kCentralHeaderSize> bytes{};
  if (!ReadExact(position, bytes.data(), bytes.size())) return false;
  ByteReader in(bytes);
  if (in.U32() != zipformat::kCentralHeaderSignature) return false;
  CentralRecord record;
  record.version_made_by = in.U16();
  record.version_needed = in.U16();
  record.flags = in.U16();
  record.method = in.U16();
  const uint16_t time = in.U16();
  const uint16_t date = in.U16();
  record.dos_date_time = static_cast<uint32_t>(date) << 16 | time;
  record.crc32 = in.U32();
  record.compressed_size = in.U32();
  record.uncompressed_size = in.U32();
  record.name_length = in.U16();
  record.extra_length = in.U16();
  record.comment_length = in.U16();
  record.disk_number_start = in.U16();
  record.internal_attributes = in.U16();
  record.external_attributes = in.U32();
  record.local_header_offset = in.U32();
  if (!in.ok()) return false;
  if (with_name) {
    // Names are kept to 259 bytes; a longer one is cut there.
    std::array<char, kMaxNameBytes> name{};
    const size_t length = std::min<size_t>(record.name_length, kMaxNameBytes);
    if (!ReadExact(position + static_cast<int64_t>(zipformat::kCentralHeaderSize), name.data(),
                   length)) {
      return false;
    }
    record.name.assign(name.data(), length);
  }
  *out = std::move(record);
  return true;
}

bool ZipReader::State::GoToFirstRecord(bool with_name) {
  record_position = static_cast<int64_t>(central_offset);
  record_valid = ReadCentralRecord(record_position + bytes_before, with_name, &record);
  return record_valid;
}

std::optional<LocalLayout> ZipReader::State::CheckLocalHeader() {
  const int64_t header = static_cast<int64_t>(record.local_header_offset) + bytes_before;
  std::array<uint8_t, zipformat::kLocalHeaderSize> bytes{};
  if (!ReadExact(header, bytes.data(), bytes.size())) return std::nullopt;
  ByteReader in(bytes);
  if (in.U32() != zipformat::kLocalHeaderSignature) return std::nullopt;
  in.U16();  // version needed
  const uint16_t flags = in.U16();
  const uint16_t method = in.U16();
  if (method != record.method ||
      (method != zipformat::kMethodStored && method != zipformat::kMethodDeflated)) {
    return std::nullopt;
  }
  in.U16();  // time
  in.U16();  // date
  const uint32_t crc = in.U32();
  const uint32_t compressed = in.U32();
  const uint32_t uncompressed = in.U32();
  // With the sizes deferred to a data descriptor the local fields may be zero; otherwise they
  // must agree with the central record.
  if ((flags & zipformat::kFlagDataDescriptor) == 0 &&
      (crc != record.crc32 || compressed != record.compressed_size ||
       uncompressed != record.uncompressed_size)) {
    return std::nullopt;
  }
  const uint16_t name_length = in.U16();
  if (name_length != record.name_length) return std::nullopt;
  LocalLayout layout;
  layout.extra_length = in.U16();
  if (!in.ok()) return std::nullopt;
  layout.extra_offset = header + static_cast<int64_t>(zipformat::kLocalHeaderSize) + name_length;
  layout.data_offset = layout.extra_offset + layout.extra_length;
  return layout;
}

ZipStatus ZipReader::State::EntryInfo(ZipEntryInfo* info) {
  if (entry_count == 0) return ZipStatus::kBadArgument;
  entry.reset();
  if (cached) {
    *info = *cached;
    return ZipStatus::kOk;
  }
  if (!GoToFirstRecord(/*with_name=*/true)) return ZipStatus::kCorrupt;
  const std::optional<LocalLayout> layout = CheckLocalHeader();
  if (!layout) return ZipStatus::kCorrupt;
  std::vector<uint8_t> extra(layout->extra_length);
  if (!ReadExact(layout->extra_offset, extra.data(), extra.size())) return ZipStatus::kReadFailed;

  ZipEntryInfo result;
  result.index = 0;
  result.name = record.name;
  result.attributes = AttributesOf(record.external_attributes);
  result.compressed_size = record.compressed_size;
  result.uncompressed_size = record.uncompressed_size;
  const platform::FileTime dos_time = DosToFileTime(record.dos_date_time);
  result.times = platform::FileTimes{dos_time, dos_time, dos_time};
  ApplyExtendedTimestamp(extra, &result.times);
  result.wname = platform::FromNative(record.name);
  if (result.wname.size() > kMaxWideNameChars) result.wname.resize(kMaxWideNameChars);
  cached = result;
  *info = std::move(result);
  return ZipStatus::kOk;
}

bool ZipReader::State::OpenCurrentEntry() {
  if (!record_valid) return false;
  entry.reset();
  const std::optional<LocalLayout> layout = CheckLocalHeader();
  if (!layout) return false;
  auto opened = std::make_unique<OpenEntry>();
  opened->method = record.method;
  if (opened->method != zipformat::kMethodStored) {
    // Raw deflate: no zlib header or trailer, a 32 KiB window. A stream that cannot be set up
    // yields no data.
    opened->stream_ready = inflateInit2(&opened->stream, -MAX_WBITS) == Z_OK;
  }
  opened->compressed_left = record.compressed_size;
  opened->uncompressed_left = record.uncompressed_size;
  opened->next_compressed = layout->data_offset;
  entry = std::move(opened);
  return true;
}

// Reads up to `length` bytes of the open entry's data; a negative result is a failure, 0 the end.
int64_t ZipReader::State::ReadEntry(uint8_t* out, size_t length) {
  if (!entry) return -1;
  OpenEntry& e = *entry;
  if (length == 0) return 0;
  uint64_t room = std::min<uint64_t>(length, e.uncompressed_left);
  int64_t produced = 0;
  while (room > 0) {
    if (e.buffered == 0 && e.compressed_left > 0) {
      const auto chunk =
          static_cast<size_t>(std::min<uint64_t>(kInputBufferSize, e.compressed_left));
      if (!ReadExact(e.next_compressed, e.buffer.data(), chunk)) return -1;
      e.next_compressed += static_cast<int64_t>(chunk);
      e.compressed_left -= chunk;
      e.buffered = chunk;
      e.buffer_position = 0;
    }
    if (e.method == zipformat::kMethodStored) {
      // Stored data that run out before the recorded size simply end there.
      if (e.buffered == 0) break;
      const auto count = static_cast<size_t>(std::min<uint64_t>(room, e.buffered));
      std::copy_n(e.buffer.data() + e.buffer_position, count, out + produced);
      e.buffer_position += count;
      e.buffered -= count;
      e.uncompressed_left -= count;
      room -= count;
      produced += static_cast<int64_t>(count);
      continue;
    }
    if (!e.stream_ready || e.stream_ended) break;
    uint8_t* const destination = out + produced;
    e.stream.next_in = e.buffer.data() + e.buffer_position;
    e.stream.avail_in = static_cast<uInt>(e.buffered);
    e.stream.next_out = destination;
    e.stream.avail_out = static_cast<uInt>(std::min<uint64_t>(room, UINT32_MAX));
    const int status = inflate(&e.stream, Z_NO_FLUSH);
    const size_t consumed = e.buffered - e.stream.avail_in;
    e.buffer_position += consumed;
    e.buffered -= consumed;
    const auto made = static_cast<size_t>(e.stream.next_out - destination);
    e.uncompressed_left -= made;
    room -= made;
    produced += static_cast<int64_t>(made);
    if (status != Z_OK) {
      // The end of the stream, broken data, or data that ran out: what was decoded stands.
      e.stream_ended = true;
      e.stream_complete = status == Z_STREAM_END;
      break;
    }
  }
  return produced;
}

ZipReader::ZipReader(std::unique_ptr<State> state)
    : ZipHandle(Kind::kReader), state_(std::move(state)) {}

ZipReader::~ZipReader() = default;

std::unique_ptr<ZipReader> ZipReader::Open(const Path& path, ZipStatus* status) {
  ZipStatus ignored;
  if (status == nullptr) status = &ignored;
  auto state = std::make_unique<State>();
  state->file = Fs().OpenSharedRead(path);
  if (!state->file) {
    *status = ZipStatus::kCannotOpen;
    return nullptr;
  }
  state->seekable = state->file->IsDiskFile();
  state->root_folder = Fs().CurrentFolder() + platform::kSeparator;
  *status = ZipStatus::kNotAnArchive;

  const int64_t end_record = state->FindEndRecord();
  if (end_record == 0) return nullptr;
  std::array<uint8_t, zipformat::kEndRecordSize> bytes{};
  if (!state->ReadExact(end_record, bytes.data(), bytes.size())) return nullptr;
  ByteReader in(bytes);
  in.U32();  // signature, found by the search
  const uint16_t this_disk = in.U16();
  const uint16_t directory_disk = in.U16();
  const uint16_t entries_here = in.U16();
  const uint16_t entries_total = in.U16();
  const uint32_t directory_size = in.U32();
  const uint32_t directory_offset = in.U32();
  in.U16();  // comment length
  if (!in.ok() || entries_here != entries_total || this_disk != 0 || directory_disk != 0) {
    return nullptr;
  }
  const int64_t directory_end = int64_t{directory_offset} + directory_size;
  if (end_record < directory_end) return nullptr;

  state->entry_count = entries_total;
  state->end_record_position = end_record;
  state->central_size = directory_size;
  state->central_offset = directory_offset;
  state->bytes_before = end_record - directory_end;
  // A first record that cannot be read does not fail the open; GetEntry reports it.
  state->GoToFirstRecord(/*with_name=*/false);
  *status = ZipStatus::kOk;
  return std::unique_ptr<ZipReader>(new ZipReader(std::move(state)));
}

ZipStatus ZipReader::GetEntry(ZipEntryInfo* info) {
  if (!state_ || info == nullptr) return ZipStatus::kBadArgument;
  return state_->EntryInfo(info);
}

ZipStatus ZipReader::ExtractEntry(const Path& target) {
  extracted_crc_ = 0;
  extracted_whole_ = false;
  extracted_size_ = 0;
  if (!state_) return ZipStatus::kBadArgument;
  state_->entry.reset();
  if (state_->entry_count == 0) return ZipStatus::kBadArgument;
  ZipEntryInfo info;
  const ZipStatus status = state_->EntryInfo(&info);
  if (status != ZipStatus::kOk) return status;

  if ((info.attributes & platform::kAttrDirectory) != 0) {
    // A folder entry names a folder below the root; one that would leave it is not created.
    if (IsPlainRelative(info.wname)) {
      CreateFoldersBelow(state_->root_folder, info.wname);
    }
    return ZipStatus::kOk;
  }
  const size_t last_separator = target.find_last_of(u"/\\");
  if (last_separator != Path::npos && last_separator > 0) {
    const std::u16string_view folder(target.data(), last_separator);
    if (IsPlainRelative(folder)) CreateFoldersBelow(state_->root_folder, folder);
  }

  std::unique_ptr<platform::File> out =
      Fs().CreateFile(target, platform::CreateMode::kReplace, info.attributes);
  if (!out) return ZipStatus::kCannotOpen;
  state_->GoToFirstRecord(/*with_name=*/false);
  state_->OpenCurrentEntry();  // a failure shows as a failed first read

  std::array<uint8_t, kInputBufferSize> chunk{};
  bool failed = false;
  uint32_t crc = 0;
  for (;;) {
    const int64_t n = state_->ReadEntry(chunk.data(), chunk.size());
    if (n < 0) {
      failed = true;
      break;
    }
    if (n == 0) break;
    if (!out->Write(chunk.data(), static_cast<size_t>(n))) {
      failed = true;
      break;
    }
    crc = static_cast<uint32_t>(crc32(crc, chunk.data(), static_cast<uInt>(n)));
    extracted_size_ += static_cast<uint64_t>(n);
  }
  if (!failed && out->IsDiskFile()) out->SetTimes(info.times);
  out.reset();
  if (state_->entry) {
    const OpenEntry& e = *state_->entry;
    extracted_whole_ =
        e.method == zipformat::kMethodStored ? e.uncompressed_left == 0 : e.stream_complete;
  }
  extracted_crc_ = crc;
  state_->entry.reset();
  return failed ? ZipStatus::kWriteFailed : ZipStatus::kOk;
}

void ZipReader::Close() {
  if (!state_) return;
  state_->entry.reset();
  state_->file.reset();
  state_.reset();
}

}  // namespace vellomir
