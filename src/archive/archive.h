// The archive layer: reads a zip container's first entry, writes new zip containers, and packs a
// folder tree into one.
//
// Usage, reading (the member salvage decodes its one-entry scratch archives this way):
//   ZipStatus status;
//   std::unique_ptr<ZipReader> reader = ZipReader::Open(u"/tmp/scratch.zip", &status);
//   ZipEntryInfo info;
//   if (reader && reader->GetEntry(&info) == ZipStatus::kOk) reader->ExtractEntry(u"/tmp/out");
//   reader->Close();
//
// Usage, writing:
//   PackFolder(u"/tmp/workspace/", u"/tmp/packed.zip");
//
// No operation here throws; every one reports a ZipStatus or a boolean. Names inside zip
// containers are 8-bit strings in the platform's encoding (UTF-8 on POSIX, see
// platform::ToNative), with "/" between folder names.
#ifndef VELLOMIR_ARCHIVE_ARCHIVE_H_
#define VELLOMIR_ARCHIVE_ARCHIVE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vellomir {

// The result of every reader and writer operation.
enum class ZipStatus : uint32_t {
  kOk = 0x00000000,
  // The archive, a target or a source file could not be opened or created, or a source's file
  // information could not be read.
  kCannotOpen = 0x00000200,
  // A write fell short, compression failed, or (reader) reading the entry or writing the target
  // failed.
  kWriteFailed = 0x00000400,
  // Reader: the first central record cannot be read, or its local header disagrees with it.
  kCorrupt = 0x00000700,
  // Reader: the local extra field cannot be read.
  kReadFailed = 0x00000800,
  // Reader: the archive was refused (no end record, multi-disk, inconsistent counts or a
  // central directory that reaches past the end record). Returned only by ZipReader::Open.
  kNotAnArchive = 0x00000900,
  // No writer; an empty entry name or one that cannot be represented; (reader) no entry.
  kBadArgument = 0x00010000,
  // ZipWriter::AddFile while an earlier failure of the writer is pending.
  kPreviousFailure = 0x00040000,
  // ZipWriter::AddFile after ZipWriter::Close.
  kAlreadyClosed = 0x00050000,
  // The handle given belongs to a reader, not a writer.
  kWrongKind = 0x00080000,
  // A write found no output open (recorded as the writer's pending failure).
  kNotReady = 0x01000000,
  // Repositioning in the output failed.
  kSeekFailed = 0x02000000,
};

// The information of one entry, as ZipReader::GetEntry reports it. Every field comes from the
// archive and may be wrong in a damaged one.
struct ZipEntryInfo {
  int32_t index = -1;
  std::string name;         // the central record's name bytes, at most 259
  std::u16string wname;     // the same name as 16-bit text, at most 258 characters
  uint32_t attributes = 0;  // platform::FileAttributes bits
  platform::FileTimes times;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
};

// The common base of readers and writers, so that code holding an archive handle can tell the
// two apart (a writer operation given a reader answers kWrongKind).
class ZipHandle {
 public:
  enum class Kind { kReader = 1, kWriter = 2 };
  virtual ~ZipHandle() = default;
  Kind kind() const { return kind_; }

 protected:
  explicit ZipHandle(Kind kind) : kind_(kind) {}

 private:
  Kind kind_;
};

// Reads a zip container from a file and extracts its first entry. Bytes in front of the archive
// are accepted; local headers whose sizes are deferred to a data descriptor are accepted;
// multi-disk archives and local headers that disagree with their central record are refused. A
// CRC-32 mismatch never fails an extraction. Memory does not grow with the archive or the entry.
class ZipReader : public ZipHandle {
 public:
  // Opens the archive for shared reading and finds its end record and first central record.
  // Returns nullptr with *status kCannotOpen when the file cannot be opened, or kNotAnArchive
  // when it is refused.
  static std::unique_ptr<ZipReader> Open(const platform::Path& path, ZipStatus* status);
  ~ZipReader() override;

  // Information on the first entry. kOk; kBadArgument when the archive lists no entry; kCorrupt
  // when the first central record cannot be read or its local header disagrees with it;
  // kReadFailed when the local extra field cannot be read.
  ZipStatus GetEntry(ZipEntryInfo* info);
  // Writes the first entry's data, stored or inflated, to `target` (created or replaced, with the
  // entry's attributes), then sets the target's times. kOk also when the data are cut short or
  // do not inflate to the end (the target keeps what was decoded); kBadArgument without an entry;
  // the status of GetEntry when the information cannot be had; kCannotOpen when the target cannot
  // be created; kWriteFailed when reading the entry or writing the target failed.
  ZipStatus ExtractEntry(const platform::Path& target);
  // The CRC-32 of the data the last ExtractEntry wrote, and whether that data ran to the end of
  // the entry's deflate stream or to its full stored size.
  uint32_t ExtractedCrc() const { return extracted_crc_; }
  bool ExtractedWhole() const { return extracted_whole_; }
  uint64_t ExtractedSize() const { return extracted_size_; }
  // Closes the open entry and the archive file.
  void Close();

 private:
  struct State;
  explicit ZipReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
  uint32_t extracted_crc_ = 0;
  bool extracted_whole_ = false;
  uint64_t extracted_size_ = 0;
};

// How ZipWriter::AddFile writes one entry.
enum class ZipMethod { kBySuffix, kStored, kDeflated };
struct ZipEntryOptions {
  ZipMethod method = ZipMethod::kBySuffix;  // by default HasStoredSuffix decides
  bool timestamp_field = true;              // the extended timestamp extra field
};

// Writes a new zip container, one whole file from disk per entry, stored or deflated (raw
// deflate, level 8). Local headers are completed after the data, so no data descriptors are
// written. Entries are refused that the format cannot hold without Zip64: an offset of 4 GiB or
// more, more than 65,535 entries, a name of more than 259 bytes.
class ZipWriter : public ZipHandle {
 public:
  // Creates or empties the archive file. Returns nullptr with *status kCannotOpen when the file
  // cannot be created.
  static std::unique_ptr<ZipWriter> Create(const platform::Path& path, ZipStatus* status);
  ~ZipWriter() override;

  // Appends the whole file at `source` as the entry `name` ("\" becomes "/"). kOk once the entry
  // is complete; see ZipStatus for the failures. A failed entry never appears in the central
  // directory.
  ZipStatus AddFile(std::u16string_view name, const platform::Path& source,
                    const ZipEntryOptions& options = {});
  // Writes the central directory and the end record once and closes the file. A second call
  // writes nothing and returns kOk.
  ZipStatus Close();

  // The same operations through a generic archive handle: kBadArgument without a handle,
  // kWrongKind for a reader's handle.
  static ZipStatus AddFile(ZipHandle* handle, std::u16string_view name,
                           const platform::Path& source);
  static ZipStatus Close(ZipHandle* handle);

 private:
  struct State;
  explicit ZipWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// True when the 8-bit entry name ends, from its last ".", in one of the suffixes of files that are
// compressed already (".Z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"), ignoring ASCII
// case. Such entries are stored, all others deflated.
bool HasStoredSuffix(std::string_view name);

// Packs every file below `folder_root` (which ends in a separator) into a new archive at
// `archive_path`, with entry names relative to the root. The outcome shows only in whether the
// archive file exists afterwards.
void PackFolder(const platform::Path& folder_root, const platform::Path& archive_path);
// Adds every file below `folder` to `writer`, named relative to `root`. False as soon as a
// listing fails or a file cannot be added; the entries added before stay.
bool AddFolderTree(ZipWriter& writer, const platform::Path& folder, const platform::Path& root);

}  // namespace vellomir

#endif  // VELLOMIR_ARCHIVE_ARCHIVE_H_
