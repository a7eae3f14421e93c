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

// What an archive without Zip64 records can hold. Every offset and size field has 32 bits, and
// the value 0xFFFFFFFF in one of them tells readers to look for a Zip64 record, so the archive as
// a whole (central directory and end record included) stays at or below 0xFFFFFFFF bytes and a
// source below 0xFFFFFFFF bytes. A writer may be given lower limits (higher ones count as
// these); the tests use that to reach them with small files.
struct ZipWriterLimits {
  uint64_t max_archive_size = 0xFFFFFFFF;
  uint64_t max_source_size = 0xFFFFFFFE;
  uint32_t max_entries = 65535;
  uint32_t max_name_size = 259;  // bytes of the 8-bit name
};

// Writes a new zip container, one whole file from disk per entry, stored or deflated (raw
// deflate, level 8). Local headers are completed after the data, so no data descriptors are
// written. Entries the format cannot hold without Zip64 are refused (see ZipWriterLimits), and a
// refused or failed entry never appears in the central directory, so the archive stays
// consistent whatever AddFile answers.
//
// Usage:
//   ZipStatus status;
//   std::unique_ptr<ZipWriter> writer = ZipWriter::Create(u"/tmp/packed.zip", &status);
//   if (!writer) return;
//   writer->AddFile(u"Pictures/a.png", u"/tmp/workspace/Pictures/a.png");
//   if (writer->Close() != ZipStatus::kOk) { /* the archive is incomplete */ }
class ZipWriter : public ZipHandle {
 public:
  // Creates or empties the archive file. Returns nullptr with *status kCannotOpen when the file
  // cannot be created (`status` may be null).
  static std::unique_ptr<ZipWriter> Create(const platform::Path& path, ZipStatus* status,
                                           const ZipWriterLimits& limits = {});
  // Releases the file. Without a Close before, the archive has no central directory.
  ~ZipWriter() override;

  // Appends the whole file at `source` as the entry `name` ("\" becomes "/", nothing else
  // changes). Answers:
  //   kOk              the entry is complete, its local header final.
  //   kBadArgument     the name is empty or holds a NUL; or the entry is beyond the limits: a
  //                    name too long, one entry too many, a source too large, or a stored entry
  //                    or the next local header that would take the archive past its size.
  //                    Nothing is written.
  //   kCannotOpen      the source cannot be opened or its information read. Nothing is written.
  //   kWriteFailed     a write fell short, the source could not be read to its end, compression
  //                    failed, or the deflated data would take the archive past its size. The
  //                    file may hold part of the entry; later entries overwrite it.
  //   kSeekFailed      the output could not be repositioned; this stays pending.
  //   kPreviousFailure an earlier kSeekFailed is pending; nothing is written.
  //   kAlreadyClosed   after Close; nothing is written.
  ZipStatus AddFile(std::u16string_view name, const platform::Path& source,
                    const ZipEntryOptions& options = {});
  // Writes the central directory and the end record once and closes the file. kOk; kWriteFailed
  // when a write fell short (no end record follows then); the pending failure, without writing
  // anything, when the output could not be repositioned before. A second call writes nothing and
  // returns kOk.
  ZipStatus Close();

  // The same operations through a generic archive handle: kBadArgument without a handle,
  // kWrongKind for a reader's handle. Closing a writer's handle this way also releases the writer
  // and empties the handle.
  static ZipStatus AddFile(ZipHandle* handle, std::u16string_view name,
                           const platform::Path& source, const ZipEntryOptions& options = {});
  static ZipStatus Close(std::unique_ptr<ZipHandle>& handle);

 private:
  struct State;
  explicit ZipWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// True when the 8-bit entry name ends, from its last ".", in one of the suffixes of files that are
// compressed already (".Z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"), ignoring ASCII
// case. Such entries are stored, all others deflated. Folder names count: "a/b.zip/c" ends in
// ".zip/c" and is deflated.
bool HasStoredSuffix(std::string_view name);

// Packs every file below `folder_root` into a new archive at `archive_path` (which lies outside
// the root), with entry names relative to the root. A root-level file "mimetype" comes first,
// stored and without extra field, as OpenDocument packages need it; every folder's entries follow
// sorted by the bytes of their names, depth first, so the same folder always gives the same
// archive. Folders get no entries of their own. The walk stops at the first file that cannot be
// added; the entries before it stay. The outcome shows only in whether the archive exists
// afterwards: when its central directory cannot be written, the archive is deleted.
void PackFolder(const platform::Path& folder_root, const platform::Path& archive_path);
// Adds every file below `folder` to `writer`, named relative to `root` (both with or without a
// trailing separator; `folder` must lie in `root`). False as soon as a listing fails or a file
// cannot be added; the entries added before stay.
bool AddFolderTree(ZipWriter& writer, const platform::Path& folder, const platform::Path& root);

}  // namespace vellomir

#endif  // VELLOMIR_ARCHIVE_ARCHIVE_H_
