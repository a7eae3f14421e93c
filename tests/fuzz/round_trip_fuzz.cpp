// Arbitrary bytes as a source document: salvage it, complete its damaged parts, pack the
// workspace, then read the packed result back. What the writer writes, the reader reads:
// - the packed archive is laid out as its central directory says, and lists every file of the
//   workspace (when the format can hold them all);
// - every entry, taken with its local header into a one-entry archive of its own, is read by the
//   zip reader without a complaint and gives the workspace file byte for byte;
// - salvaging the packed archive as a damaged document gives every file back byte for byte,
//   whenever no name or data inside it looks like a local header of its own (a false header is
//   tried as a member, as in any other document).
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "archive/archive.h"
#include "archive/zip_format.h"
#include "engine/workspace.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "salvage/part_completion.h"
#include "salvage/salvage.h"

namespace {

using namespace vellomir;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::map<std::string, std::string> FilesBelow(const platform::Path& folder,
                                              const std::string& relative = "") {
  std::map<std::string, std::string> files;
  const auto entries = platform::Fs().ListFolder(folder);
  if (!entries) return files;
  for (const platform::FolderEntry& entry : *entries) {
    const std::string name = relative + platform::ToNative(entry.name);
    const platform::Path path = folder + platform::kSeparator + entry.name;
    if (entry.is_folder) {
      files.merge(FilesBelow(path, name + "/"));
    } else {
      files[name] = ReadWhole(platform::ToNative(path));
    }
  }
  return files;
}

void Salvage(const platform::Path& source_path, const RepairWorkspace& workspace) {
  auto source = platform::Fs().OpenExclusiveRead(source_path);
  if (!source) fuzz::Fail("cannot open a source");
  ExtractMembers(*source, workspace, nullptr, nullptr, nullptr);
}

// One entry of the packed archive: its local header with its data, and its central record.
struct PackedEntry {
  std::string name;
  uint32_t crc = 0;
  std::string local;
  std::string central;
};

// The entries as the central directory lists them; stops through Fail when the archive is not
// laid out as it says.
std::vector<PackedEntry> ReadPacked(const std::string& archive) {
  using zipformat::ByteReader;
  const auto bytes = std::span(reinterpret_cast<const uint8_t*>(archive.data()), archive.size());
  if (archive.size() < zipformat::kEndRecordSize) fuzz::Fail("no end record");
  ByteReader end(bytes.subspan(archive.size() - zipformat::kEndRecordSize));
  if (end.U32() != zipformat::kEndRecordSignature) fuzz::Fail("no end record at the end");
  end.Skip(6);
  const uint16_t count = end.U16();
  const uint32_t directory_size = end.U32();
  const uint32_t directory_offset = end.U32();
  if (uint64_t{directory_offset} + directory_size + zipformat::kEndRecordSize != archive.size()) {
    fuzz::Fail("the central directory is not where the end record says");
  }
  std::vector<PackedEntry> entries;
  size_t at = directory_offset;
  for (uint16_t i = 0; i < count; ++i) {
    ByteReader record(bytes.subspan(at));
    if (record.U32() != zipformat::kCentralHeaderSignature) fuzz::Fail("a broken central record");
    record.Skip(12);
    PackedEntry entry;
    entry.crc = record.U32();
    const uint32_t compressed = record.U32();
    record.Skip(4);
    const uint16_t name_length = record.U16();
    const uint16_t extra_length = record.U16();
    const uint16_t comment_length = record.U16();
    record.Skip(8);
    const uint32_t local_offset = record.U32();
    const size_t record_size =
        zipformat::kCentralHeaderSize + name_length + extra_length + comment_length;
    if (!record.ok() || at + record_size > directory_offset + uint64_t{directory_size}) {
      fuzz::Fail("a central record runs past the directory");
    }
    entry.name = archive.substr(at + zipformat::kCentralHeaderSize, name_length);
    entry.central = archive.substr(at, record_size);
    if (local_offset >= directory_offset) fuzz::Fail("a local header inside the index");
    ByteReader local(bytes.subspan(local_offset));
    if (local.U32() != zipformat::kLocalHeaderSignature) fuzz::Fail("no local header");
    local.Skip(22);
    const uint16_t local_name_length = local.U16();
    const uint16_t local_extra_length = local.U16();
    const uint64_t data_end = uint64_t{local_offset} + zipformat::kLocalHeaderSize +
                              local_name_length + local_extra_length + compressed;
    if (!local.ok() || data_end > directory_offset) fuzz::Fail("an entry runs into the index");
    entry.local = archive.substr(local_offset, static_cast<size_t>(data_end - local_offset));
    entries.push_back(std::move(entry));
    at += record_size;
  }
  return entries;
}

// The entry alone in an archive in `folder`, read with the zip reader.
void ReadBack(const PackedEntry& entry, const std::string& expected, const std::string& folder) {
  std::string central = entry.central;
  zipformat::StoreU32(reinterpret_cast<uint8_t*>(central.data()) + 42, 0);  // local header at 0
  zipformat::ByteWriter end;
  end.U32(zipformat::kEndRecordSignature);
  end.U16(0);
  end.U16(0);
  end.U16(1);
  end.U16(1);
  end.U32(static_cast<uint32_t>(central.size()));
  end.U32(static_cast<uint32_t>(entry.local.size()));
  end.U16(0);
  const std::string archive = folder + "entry.zip";
  std::ofstream(archive, std::ios::binary | std::ios::trunc)
      << entry.local << central << end.bytes();
  const std::string target = folder + "entry.out";
  ZipStatus status = ZipStatus::kOk;
  std::unique_ptr<ZipReader> reader = ZipReader::Open(platform::FromNative(archive), &status);
  if (!reader) fuzz::Fail("the reader refuses an entry the writer wrote");
  ZipEntryInfo info;
  if (reader->GetEntry(&info) != ZipStatus::kOk) fuzz::Fail("an entry's headers disagree");
  if (info.name != entry.name) fuzz::Fail("an entry's name changed");
  if (reader->ExtractEntry(platform::FromNative(target)) != ZipStatus::kOk) {
    fuzz::Fail("an entry the writer wrote cannot be extracted");
  }
  if (!reader->ExtractedWhole() || reader->ExtractedCrc() != entry.crc) {
    fuzz::Fail("an entry the writer wrote does not decode whole");
  }
  reader->Close();
  if (ReadWhole(target) != expected) fuzz::Fail("an entry came back with other bytes");
  platform::Fs().SetNormalAttributes(platform::FromNative(target));
  platform::Fs().DeleteFile(platform::FromNative(target));
  platform::Fs().DeleteFile(platform::FromNative(archive));
}

size_t CountLocalHeaderSignatures(const std::string& archive) {
  size_t count = 0;
  for (size_t at = archive.find("PK\3\4"); at != std::string::npos;
       at = archive.find("PK\3\4", at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

VELLOMIR_FUZZ_TARGET(RoundTripInput) {
  const std::string source_path = fuzz::WriteInput("source.ods", data, size);
  const RepairWorkspace workspace = RepairWorkspace::Current();
  if (!workspace.valid()) fuzz::Fail("no workspace");
  const platform::Path& private_folder = workspace.temp_folder;
  const fuzz::ChangesOnlyBelow guard(
      {platform::ToNative(private_folder.substr(0, private_folder.size() - 1))});
  ResetWorkspace();
  Salvage(platform::FromNative(source_path), workspace);
  CompleteDamagedParts(workspace.folder, u"source.ods");
  const std::map<std::string, std::string> salvaged = FilesBelow(workspace.folder);
  bool representable = salvaged.size() <= 65535;
  for (const auto& [name, content] : salvaged) {
    representable = representable && name.size() <= 259 && content.size() < (1u << 30);
  }

  PackFolder(workspace.folder, workspace.packed_result);
  if (!platform::Fs().Exists(workspace.packed_result)) fuzz::Fail("the packer wrote nothing");
  const std::string packed = ReadWhole(platform::ToNative(workspace.packed_result));
  const std::vector<PackedEntry> entries = ReadPacked(packed);
  for (const PackedEntry& entry : entries) {
    const auto it = salvaged.find(entry.name);
    if (it == salvaged.end()) fuzz::Fail("an entry the workspace did not have");
    ReadBack(entry, it->second, platform::ToNative(private_folder));
  }
  if (representable && entries.size() != salvaged.size()) fuzz::Fail("a member was not packed");

  if (CountLocalHeaderSignatures(packed) == entries.size()) {
    CDirectoryManager::DeleteFolderTree(workspace.folder);
    Salvage(workspace.packed_result, workspace);
    const std::map<std::string, std::string> unpacked = FilesBelow(workspace.folder);
    for (const PackedEntry& entry : entries) {
      const auto it = unpacked.find(entry.name);
      if (it == unpacked.end()) fuzz::Fail("a packed member was not salvaged again");
      if (it->second != salvaged.at(entry.name)) fuzz::Fail("a member came back with other bytes");
    }
    if (unpacked.size() != entries.size()) fuzz::Fail("a member the archive did not have");
  }
  ResetWorkspace();
  guard.Check();
  return 0;
}
