// Content extraction: every local header found by the scan is treated as one member and
// recovered into the workspace folder, in file order.
//
// Where a member's data end is decided by one function (FindMemberEnd) for stored and deflated
// members alike, from the strongest evidence at hand: the header's own sizes when nothing
// contradicts them, else the member's own data descriptor, else the next signature or the end of
// the source. Stored members are then copied byte for byte; a deflated member is wrapped with its
// local header into a one-entry scratch archive whose central record describes exactly those
// bytes, and the zip reader decodes it.
#include <zlib.h>

#include <algorithm>
#include <array>
#include <map>
#include <vector>

#include "archive/archive.h"
#include "archive/zip_format.h"
#include "salvage/salvage.h"
#include "salvage/signature_index.h"

namespace vellomir {
namespace {

using platform::Fs;
using platform::Path;
using salvage_internal::SignatureIndex;

constexpr size_t kBlockSize = 65536;
constexpr size_t kPieceSize = 4096;
constexpr size_t kHeaderBufferSize = 512;
constexpr uint16_t kMaxNameLength = 260;
// The format's bound on a member's size; a member whose size is not known is decoded up to it.
constexpr uint32_t kUnknownSizeBound = 0xFFFFFFFF;

struct MemberEnd {
  int64_t offset = 0;
  MemberRecord::EndEvidence evidence = MemberRecord::EndEvidence::kEndOfSource;
  std::optional<int64_t> own_descriptor;
};

struct DescriptorValues {
  uint32_t crc32 = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
};

// A member name turned into a path below the workspace.
struct WorkspacePath {
  Path relative;           // "" when the name names nothing
  bool is_folder = false;  // the name ends in a separator: a folder entry
};

bool IsNameSeparator(char16_t c) {
  return c == u'/' || c == u'\\';
}

WorkspacePath WorkspacePathOf(std::u16string_view name) {
  WorkspacePath result;
  result.is_folder = !name.empty() && IsNameSeparator(name.back());
  size_t start = 0;
  bool first = true;
  while (start <= name.size()) {
    size_t end = start;
    while (end < name.size() && !IsNameSeparator(name[end])) ++end;
    std::u16string_view component = name.substr(start, end - start);
    // A drive prefix ("C:") at the front names another place, not a folder.
    if (first && component.size() >= 2 && component[1] == u':' &&
        ((component[0] >= u'A' && component[0] <= u'Z') ||
         (component[0] >= u'a' && component[0] <= u'z'))) {
      component.remove_prefix(2);
    }
    first = false;
    if (!component.empty() && component != u"." && component != u"..") {
      if (!result.relative.empty()) result.relative.push_back(platform::kSeparator);
      result.relative.append(component);
    }
    start = end + 1;
  }
  return result;
}

class MemberSalvage {
 public:
  MemberSalvage(platform::File& source, const SignatureIndex& index,
                const RepairWorkspace& workspace, std::vector<MemberRecord>* records,
                SalvageSummary& summary)
      : source_(source),
        index_(index),
        workspace_(workspace),
        records_(records),
        summary_(summary) {}

  void RecoverAll() {
    for (int64_t offset : index_.local_headers) RecoverEntry(offset);
  }

 private:
  void RecoverEntry(int64_t offset);
  bool CopyStoredEntry(MemberRecord& record, const Path& target, const MemberEnd& end);
  bool RecoverDeflatedEntry(MemberRecord& record, const Path& target, const MemberEnd& end);
  MemberEnd FindMemberEnd(const LocalHeaderInfo& header, int64_t data_offset) const;
  std::optional<DescriptorValues> FindDescriptor(int64_t data_offset) const;
  std::optional<DescriptorValues> ReadDescriptor(int64_t offset) const;
  bool WriteScratchArchive(const MemberRecord& record, const MemberEnd& end,
                           const DescriptorValues& values, std::string_view raw_name);
  void Remember(MemberRecord record);
  void CreateParentFolders(const Path& file_path) const;

  platform::File& source_;
  const SignatureIndex& index_;
  const RepairWorkspace& workspace_;
  std::vector<MemberRecord>* records_;  // null: no records are kept
  SalvageSummary& summary_;
  size_t records_of_nothing_ = 0;
  // Which record wrote each file of the workspace, so that a later member of the same name can
  // mark the earlier one as replaced.
  std::map<Path, size_t> writers_;
  // The end of the data of the last member confirmed whole by its CRC-32: a signature before it
  // is a byte pattern inside that member, which a salvage would turn into a junk member.
  int64_t confirmed_end_ = 0;
};

std::optional<LocalHeaderInfo> ParseLocalHeader(std::span<const uint8_t> bytes) {
  zipformat::ByteReader in(bytes);
  in.U32();  // the signature, found by the scan
  LocalHeaderInfo header;
  header.version_needed = in.U16();
  header.flags = in.U16();
  header.method = in.U16();
  header.dos_time = in.U16();
  header.dos_date = in.U16();
  header.crc32 = in.U32();
  header.compressed_size = in.U32();
  header.uncompressed_size = in.U32();
  header.name_length = in.U16();
  header.extra_length = in.U16();
  if (!in.ok()) return std::nullopt;
  return header;
}

void MemberSalvage::RecoverEntry(int64_t offset) {
  MemberRecord record;
  record.header_offset = offset;
  if (offset < confirmed_end_) {
    record.outcome = MemberRecord::Outcome::kInsideMember;
    return Remember(std::move(record));
  }
  const int64_t size = source_.Size();
  if (size < 0 || offset + 32 > size) {
    record.outcome = MemberRecord::Outcome::kPassedOver;
    return Remember(std::move(record));
  }
  std::array<uint8_t, kHeaderBufferSize> buffer{};
  const int64_t read = platform::ReadAt(source_, offset, buffer.data(), buffer.size());
  const std::optional<LocalHeaderInfo> header =
      read >= static_cast<int64_t>(zipformat::kLocalHeaderSize)
          ? ParseLocalHeader(std::span(buffer.data(), static_cast<size_t>(read)))
          : std::nullopt;
  if (!header) {
    record.outcome = MemberRecord::Outcome::kUnreadable;
    return Remember(std::move(record));
  }
  record.header = *header;
  if (header->name_length > kMaxNameLength) {
    // Not tried; the report still shows as much of the name as the header buffer holds (the
    // name is made only for a report: a source of false headers has millions of them).
    if (records_ != nullptr) {
      const auto shown = std::min<size_t>(header->name_length, static_cast<size_t>(read) - 30);
      const std::string_view name(reinterpret_cast<const char*>(buffer.data()) + 30, shown);
      record.name = platform::FromNative(name.substr(0, name.find('\0')));
    }
    record.outcome = MemberRecord::Outcome::kPassedOver;
    return Remember(std::move(record));
  }
  // A name that runs past the end of the source is not a name.
  if (read < static_cast<int64_t>(zipformat::kLocalHeaderSize + header->name_length)) {
    record.outcome = MemberRecord::Outcome::kUnreadable;
    return Remember(std::move(record));
  }
  const std::string_view raw_name(reinterpret_cast<const char*>(buffer.data()) + 30,
                                  header->name_length);
  record.name = platform::FromNative(raw_name.substr(0, raw_name.find('\0')));
  record.data_offset =
      static_cast<uint64_t>(offset) + 30 + header->name_length + header->extra_length;

  const WorkspacePath path = WorkspacePathOf(record.name);
  record.workspace_name = path.relative;
  const Path target = workspace_.folder + path.relative;
  if (path.is_folder || path.relative.empty()) {
    // A folder entry yields just its folder; an empty name yields nothing.
    if (!path.relative.empty()) CDirectoryManager::CreateFolderPath(target);
    record.outcome = path.is_folder && !path.relative.empty() ? MemberRecord::Outcome::kFolder
                                                              : MemberRecord::Outcome::kNotWritten;
    return Remember(std::move(record));
  }
  CreateParentFolders(target);
  const MemberEnd end = FindMemberEnd(*header, static_cast<int64_t>(record.data_offset));
  record.end = end.evidence;
  if (header->method == zipformat::kMethodDeflated) {
    RecoverDeflatedEntry(record, target, end);
  } else {
    CopyStoredEntry(record, target, end);
  }
  if (record.outcome == MemberRecord::Outcome::kWhole && record.crc_known) {
    confirmed_end_ = std::max(confirmed_end_, end.offset);
  }
  Remember(std::move(record));
}

void MemberSalvage::Remember(MemberRecord record) {
  using Outcome = MemberRecord::Outcome;
  if (record.outcome == Outcome::kWhole || record.outcome == Outcome::kPartial ||
      record.outcome == Outcome::kCrcMismatch) {
    ++summary_.written;
    if (record.outcome == Outcome::kWhole && record.crc_known) ++summary_.confirmed_whole;
  }
  // Without a caller that asks for them, records are not kept: a source made of millions of
  // false headers would otherwise cost far more memory than its offset lists.
  if (records_ == nullptr) return;
  const bool nothing =
      record.outcome == Outcome::kPassedOver || record.outcome == Outcome::kInsideMember ||
      record.outcome == Outcome::kUnreadable || record.outcome == Outcome::kRefused;
  if (nothing && ++records_of_nothing_ > kMaxRecordsOfNothing) {
    ++summary_.unrecorded;
    return;
  }
  std::vector<MemberRecord>& records = *records_;
  const bool written = record.outcome == MemberRecord::Outcome::kWhole ||
                       record.outcome == MemberRecord::Outcome::kPartial ||
                       record.outcome == MemberRecord::Outcome::kCrcMismatch;
  if (written) {
    const auto [it, inserted] = writers_.try_emplace(record.workspace_name, records.size());
    if (!inserted) {
      records[it->second].outcome = MemberRecord::Outcome::kSuperseded;
      it->second = records.size();
    }
  }
  records.push_back(std::move(record));
}

void MemberSalvage::CreateParentFolders(const Path& file_path) const {
  const size_t last = file_path.rfind(platform::kSeparator);
  if (last == Path::npos) return;
  CDirectoryManager::CreateFolderPath(file_path.substr(0, last));
}

MemberEnd MemberSalvage::FindMemberEnd(const LocalHeaderInfo& header, int64_t data_offset) const {
  const int64_t size = source_.Size();
  // The header's own size, when the sizes are not deferred and nothing contradicts them: the end
  // lands on a record or on the end of the source, or no record begins inside the data. This
  // keeps the bytes "PK\3\4" inside a stored picture from cutting it short, and the index that
  // follows the last member out of it.
  if ((header.flags & zipformat::kFlagDataDescriptor) == 0) {
    const int64_t end = data_offset + static_cast<int64_t>(header.compressed_size);
    if (end <= size) {
      const std::optional<int64_t> next = index_.NextSignature(data_offset);
      if (end == size || index_.SignatureAt(end) || !next || *next >= end) {
        return MemberEnd{end, MemberRecord::EndEvidence::kHeaderSizes, std::nullopt};
      }
    }
  }
  if (const std::optional<int64_t> own = index_.OwnDescriptorOf(data_offset)) {
    return MemberEnd{*own, MemberRecord::EndEvidence::kOwnDescriptor, own};
  }
  if (const std::optional<int64_t> next = index_.NextSignature(data_offset)) {
    return MemberEnd{*next, MemberRecord::EndEvidence::kNextSignature, std::nullopt};
  }
  return MemberEnd{std::max<int64_t>(size, data_offset), MemberRecord::EndEvidence::kEndOfSource,
                   std::nullopt};
}

std::optional<DescriptorValues> MemberSalvage::ReadDescriptor(int64_t offset) const {
  std::array<uint8_t, zipformat::kDataDescriptorSize> bytes{};
  if (!platform::ReadExactAt(source_, offset, bytes.data(), bytes.size())) return std::nullopt;
  zipformat::ByteReader in(bytes);
  in.U32();
  DescriptorValues values;
  values.crc32 = in.U32();
  values.compressed_size = in.U32();
  values.uncompressed_size = in.U32();
  return values;
}

std::optional<DescriptorValues> MemberSalvage::FindDescriptor(int64_t data_offset) const {
  const std::optional<int64_t> offset = index_.FirstDescriptorAfter(data_offset);
  if (!offset) return std::nullopt;
  return ReadDescriptor(*offset);
}

// Copies [data offset, end) of the source into `out`, updating the CRC-32. Returns the bytes
// copied, with write_failed set when a write failed. A failed read ends the copy as the end of the
// data would, once the bytes before the unreadable 4 KiB piece are copied.
struct CopyResult {
  uint64_t bytes = 0;
  uint32_t crc32 = 0;
  bool write_failed = false;
};

CopyResult CopyRange(platform::File& source, int64_t from, int64_t to, platform::File& out) {
  CopyResult result;
  std::vector<uint8_t> block(kBlockSize);
  size_t piece = kBlockSize;
  for (int64_t position = from; position < to;) {
    const auto want = static_cast<size_t>(std::min<int64_t>(piece, to - position));
    const int64_t n = platform::ReadAt(source, position, block.data(), want);
    if (n < 0 && piece == kBlockSize) {
      // A block with a bad sector in it: the bytes before the sector are read in small pieces.
      piece = kPieceSize;
      continue;
    }
    if (n <= 0) break;
    if (!out.Write(block.data(), static_cast<size_t>(n))) {
      result.write_failed = true;
      break;
    }
    result.crc32 = static_cast<uint32_t>(crc32(result.crc32, block.data(), static_cast<uInt>(n)));
    result.bytes += static_cast<uint64_t>(n);
    position += n;
  }
  return result;
}

// Removes a member's file that could not be written whole (a full disk): the member is given up
// and the next one tried.
void GiveUp(const Path& target) {
  Fs().SetNormalAttributes(target);
  Fs().DeleteFile(target);
}

bool MemberSalvage::CopyStoredEntry(MemberRecord& record, const Path& target,
                                    const MemberEnd& end) {
  std::unique_ptr<platform::File> out =
      Fs().CreateFile(target, platform::CreateMode::kReplace, platform::kAttrNormal);
  if (!out) {
    record.outcome = MemberRecord::Outcome::kNotWritten;
    return false;
  }
  const auto data_offset = static_cast<int64_t>(record.data_offset);
  const CopyResult copy = CopyRange(source_, data_offset, end.offset, *out);
  // The member keeps the time its header gives, as a decoded member does.
  const platform::FileTime time = zipformat::DosStampToFileTime(
      record.header.dos_date, record.header.dos_time, Fs().LocalTimeOffsetSeconds());
  if (!copy.write_failed) out->SetTimes(platform::FileTimes{time, time, time});
  out.reset();
  record.compressed_size = copy.bytes;
  record.written_size = copy.bytes;
  record.actual_crc = copy.crc32;
  if (copy.write_failed) {
    GiveUp(target);
    record.outcome = MemberRecord::Outcome::kNotWritten;
    return false;
  }
  std::optional<uint64_t> expected_size;
  if ((record.header.flags & zipformat::kFlagDataDescriptor) == 0) {
    record.crc_known = true;
    record.expected_crc = record.header.crc32;
    expected_size = record.header.uncompressed_size;
  } else if (end.own_descriptor) {
    if (const auto values = ReadDescriptor(*end.own_descriptor)) {
      record.crc_known = true;
      record.expected_crc = values->crc32;
      expected_size = values->uncompressed_size;
    }
  }
  const auto span = static_cast<uint64_t>(std::max<int64_t>(0, end.offset - data_offset));
  const bool cut = copy.bytes < span || (expected_size && copy.bytes < *expected_size) ||
                   (!expected_size && end.evidence == MemberRecord::EndEvidence::kEndOfSource);
  if (cut) {
    record.outcome = MemberRecord::Outcome::kPartial;
  } else if (record.crc_known && record.expected_crc != copy.crc32) {
    record.outcome = MemberRecord::Outcome::kCrcMismatch;
  } else {
    record.outcome = MemberRecord::Outcome::kWhole;
  }
  return true;
}

// The scratch archive: the member's header and data as they stand in the source, then a central
// record and an end record that describe exactly those bytes. The copied header always carries
// the compressed size that was copied and the values of the central record, so that the reader's
// check of the two never refuses a member for junk behind its data.
bool MemberSalvage::WriteScratchArchive(const MemberRecord& record, const MemberEnd& end,
                                        const DescriptorValues& values, std::string_view raw_name) {
  const LocalHeaderInfo& header = record.header;
  const int64_t header_start = record.header_offset;
  std::unique_ptr<platform::File> scratch = Fs().CreateFile(
      workspace_.scratch_archive, platform::CreateMode::kReplace, platform::kAttrNormal);
  if (!scratch) return false;
  const CopyResult copy = CopyRange(source_, header_start, end.offset, *scratch);
  const int64_t header_length = static_cast<int64_t>(record.data_offset) - header_start;
  const int64_t compressed = static_cast<int64_t>(copy.bytes) - header_length;
  if (copy.write_failed || compressed <= 0) return false;

  std::array<uint8_t, 12> sizes{};
  zipformat::StoreU32(sizes.data(), values.crc32);
  zipformat::StoreU32(sizes.data() + 4, static_cast<uint32_t>(compressed));
  zipformat::StoreU32(sizes.data() + 8, values.uncompressed_size);
  zipformat::ZipEntryRecord record_fields;
  record_fields.version_made_by = header.version_needed;
  record_fields.version_needed = header.version_needed;
  record_fields.flags = header.flags;
  record_fields.method = header.method;
  record_fields.dos_time = header.dos_time;
  record_fields.dos_date = header.dos_date;
  record_fields.crc = values.crc32;
  record_fields.compressed_size = static_cast<uint32_t>(compressed);
  record_fields.uncompressed_size = values.uncompressed_size;
  // External attributes 0: the member's file comes out read-only. Offset 0: the local header is
  // the archive's first byte.
  record_fields.name = std::string(raw_name);
  zipformat::ByteWriter central;
  zipformat::AppendCentralHeader(record_fields, central);
  central.Bytes(zipformat::EncodeEndRecord(1, central.bytes().size(), copy.bytes));
  return scratch->Write(central.bytes().data(), central.bytes().size()) && scratch->Seek(14) &&
         scratch->Write(sizes.data(), sizes.size());
}

bool MemberSalvage::RecoverDeflatedEntry(MemberRecord& record, const Path& target,
                                         const MemberEnd& end) {
  const LocalHeaderInfo& header = record.header;
  const auto data_offset = static_cast<int64_t>(record.data_offset);
  const int64_t compressed = end.offset - data_offset;
  record.compressed_size = compressed > 0 ? static_cast<uint64_t>(compressed) : 0;

  // The CRC-32 and the size come from the member's own descriptor, else from the first
  // descriptor after the data when its size agrees, else from the header.
  DescriptorValues values{header.crc32, header.compressed_size, header.uncompressed_size};
  std::optional<DescriptorValues> descriptor =
      end.own_descriptor ? ReadDescriptor(*end.own_descriptor) : FindDescriptor(data_offset);
  const bool agrees = descriptor && compressed > 0 &&
                      descriptor->compressed_size == static_cast<uint32_t>(compressed);
  const bool deferred = (header.flags & zipformat::kFlagDataDescriptor) != 0;
  if (agrees) {
    values = *descriptor;
  } else if (deferred && header.uncompressed_size == 0) {
    // Nothing tells the size: decode until the stream ends, up to the format's bound.
    values.uncompressed_size = kUnknownSizeBound;
  }
  record.crc_known = agrees || !deferred;
  record.expected_crc = values.crc32;

  std::array<uint8_t, kHeaderBufferSize> name_bytes{};
  if (!platform::ReadExactAt(source_, record.header_offset + 30, name_bytes.data(),
                             header.name_length)) {
    record.outcome = MemberRecord::Outcome::kUnreadable;
    return false;
  }
  const std::string_view raw_name(reinterpret_cast<const char*>(name_bytes.data()),
                                  header.name_length);
  if (!WriteScratchArchive(record, end, values, raw_name)) {
    // No data at all gives an archive without index, which the reader would refuse.
    record.outcome =
        compressed > 0 ? MemberRecord::Outcome::kNotWritten : MemberRecord::Outcome::kRefused;
    return compressed <= 0;
  }

  ZipStatus status = ZipStatus::kOk;
  std::unique_ptr<ZipReader> reader = ZipReader::Open(workspace_.scratch_archive, &status);
  ZipEntryInfo info;
  if (!reader || reader->GetEntry(&info) != ZipStatus::kOk) {
    record.outcome = MemberRecord::Outcome::kRefused;
    return true;
  }
  status = reader->ExtractEntry(target);
  record.written_size = reader->ExtractedSize();
  record.actual_crc = reader->ExtractedCrc();
  const bool whole = reader->ExtractedWhole();
  reader->Close();
  if (status == ZipStatus::kCannotOpen) {
    // An earlier member of this name was decoded and is read-only: the first version stays.
    record.outcome = MemberRecord::Outcome::kNotWritten;
  } else if (status != ZipStatus::kOk) {
    GiveUp(target);
    record.outcome = MemberRecord::Outcome::kNotWritten;
  } else if (!whole) {
    record.outcome = MemberRecord::Outcome::kPartial;
  } else if (record.crc_known && record.actual_crc != record.expected_crc) {
    record.outcome = MemberRecord::Outcome::kCrcMismatch;
  } else {
    record.outcome = MemberRecord::Outcome::kWhole;
  }
  return true;
}

}  // namespace

Path WorkspaceNameOf(std::u16string_view member_name) {
  return WorkspacePathOf(member_name).relative;
}

void ExtractMembers(platform::File& source, const RepairWorkspace& workspace,
                    std::vector<int64_t>* local_header_offsets,
                    std::vector<int64_t>* descriptor_offsets, std::vector<MemberRecord>* members,
                    SalvageSummary* summary) {
  SignatureIndex index = salvage_internal::ScanSignatures(source);
  SalvageSummary ignored;
  if (workspace.valid()) {
    MemberSalvage(source, index, workspace, members, summary != nullptr ? *summary : ignored)
        .RecoverAll();
  }
  if (local_header_offsets != nullptr) *local_header_offsets = std::move(index.local_headers);
  if (descriptor_offsets != nullptr) *descriptor_offsets = std::move(index.descriptors);
}

}  // namespace vellomir
