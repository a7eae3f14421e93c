// Helpers shared by the tests: scratch folders, whole-file reads and writes, raw deflate, and a
// builder for hand-made zip containers with exactly the defects a test needs.
#ifndef VELLOMIR_TESTS_SUPPORT_TEST_SUPPORT_H_
#define VELLOMIR_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vellomir::testing {

// 8-bit (UTF-8) and 16-bit forms of test paths and names.
std::u16string U16(std::string_view utf8);
std::string U8(std::u16string_view text);

// A fresh folder below the system's temporary folder, removed with everything in it (read-only
// parts included) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
  std::u16string u16() const { return U16(path_); }

 private:
  std::string path_;
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// Points the program's temporary folder (TMPDIR) at a fresh folder of its own.
class ScopedTempFolder {
 public:
  ScopedTempFolder();
  const TempDir& dir() const { return dir_; }
  // The per-user folder the program will use below it, with its trailing separator.
  std::string private_folder() const;
  std::string workspace_folder() const { return private_folder() + "TempDirZanth/"; }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

bool WriteFile(const std::string& path, std::string_view bytes);
std::optional<std::string> ReadFile(const std::string& path);
// The size and CRC-32 of a file, read in blocks: to see whether a file of gigabytes changed
// without holding it in memory. Nothing when it cannot be read.
std::optional<std::pair<uint64_t, uint32_t>> FileDigest(const std::string& path);
bool Exists(const std::string& path);
void MakeFolders(const std::string& path);
// Every file below `folder`, as paths relative to it with "/", sorted.
std::vector<std::string> ListFilesRecursively(const std::string& folder);
// Removes a whole tree, making read-only parts writable first.
void RemoveTree(const std::string& path);

// Raw deflate (no zlib header), as zip members carry it.
std::string Deflate(std::string_view data, int level = 6);
std::string Inflate(std::string_view raw);
uint32_t Crc32(std::string_view data);

// Text that compresses into Huffman-coded blocks, reproducible from the seed.
std::string TextRows(size_t rows, uint32_t seed);
// Bytes that do not compress, reproducible from the seed.
std::string RandomBytes(size_t size, uint32_t seed);

// Builds zip containers member by member. Each member's local header is written as given (the
// defaults are those of a sound member); a central directory and end record can be appended.
class ZipBuilder {
 public:
  struct Member {
    std::string name;
    std::string data;     // uncompressed content
    uint16_t method = 8;  // 0 stored, 8 deflated
    uint16_t flags = 0;
    bool descriptor = false;  // sizes and CRC 0 in the header, a signed descriptor after it
    std::string extra;        // local extra field
    uint32_t external_attributes = 0x81800020;
    uint16_t dos_time = 0x7000;  // 14:00:00
    uint16_t dos_date = 0x5A21;  // 2025-01-01
    // The stored or compressed bytes as written, instead of those made from `data` (cut or
    // damaged data); the CRC-32 and the uncompressed size still come from `data`.
    std::optional<std::string> payload;
    // Overrides for the local header's fields (a damaged header), applied after the defaults.
    std::optional<uint32_t> header_crc, header_compressed_size, header_uncompressed_size;
    std::optional<uint16_t> header_name_length;
  };
  struct Placed {
    size_t header_offset;
    size_t data_offset;
    size_t data_end;      // end of the stored or compressed bytes
    std::string payload;  // the stored or compressed bytes
  };

  // A member of `data` with the header's values made from it.
  static Member Simple(const std::string& name, const std::string& data, uint16_t method);

  // Appends a member and returns where its parts went.
  Placed Add(const Member& member);
  // Appends raw bytes (junk, damage).
  void Raw(std::string_view bytes) { bytes_.append(bytes); }
  // Appends a central directory for every member added so far and an end record.
  void Finish();
  const std::string& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  struct Central {
    Member member;
    uint32_t crc;
    uint32_t compressed_size;
    uint32_t uncompressed_size;
    size_t offset;
  };
  std::string bytes_;
  std::vector<Central> central_;
};

// A deflated member of unknown size (flag bit 3, sizes and CRC 0 in its header, no descriptor),
// as one cut by the end of its source, whose stream inflates to `mebibytes` MiB of zeros and never
// ends: 1 MiB of zeros compressed up to a full flush, repeated. A full flush forgets all history,
// so each repetition decodes the same way. Empty when zlib fails.
ZipBuilder::Member EndlessDeflatedMember(const std::string& name, size_t mebibytes);

// An archive read back field by field, as a zip tool reads it: the end record at the very end
// (the writers here add no comment), the central directory it points to, and the local header
// and data of every entry the central directory lists.
struct ZipListing {
  struct Entry {
    // From the central header.
    uint16_t version_made_by = 0;
    uint16_t version_needed = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t dos_time = 0;
    uint16_t dos_date = 0;
    uint32_t crc = 0;
    uint32_t compressed_size = 0;
    uint32_t uncompressed_size = 0;
    uint16_t comment_length = 0;
    uint16_t disk_start = 0;
    uint16_t internal_attributes = 0;
    uint32_t external_attributes = 0;
    uint32_t local_header_offset = 0;
    std::string name;
    std::string central_extra;
    // From the local header, whose other fields must agree with the central ones.
    std::string local_extra;
    std::string data;  // the stored or compressed bytes
  };
  std::vector<Entry> entries;
  uint32_t central_offset = 0;
  uint32_t central_size = 0;
};
// Nothing, with the reason in *problem, when the archive is not laid out that way or a local
// header disagrees with its central record.
std::optional<ZipListing> ReadZipListing(std::string_view archive, std::string* problem = nullptr);
// The same for the archive file at `path`.
std::optional<ZipListing> ReadZipListingFile(const std::string& path, std::string* problem);
// The entry names in the order of the central directory.
std::vector<std::string> EntryNames(const ZipListing& listing);
// The members of the archive file at `path`, name -> uncompressed data, read as ReadZipListingFile
// reads them; nothing, with the reason in *problem, when that fails.
std::optional<std::map<std::string, std::string>> ReadZipMembersFile(const std::string& path,
                                                                     std::string* problem);

// What an outside zip tool said of an archive; `available` is false when the tool is missing.
struct ToolVerdict {
  bool available = false;
  bool accepted = false;
  std::string output;
};
// Runs a shell command line whose program is `tool`; `accepted` when it exits with 0, `output`
// holds what it wrote to standard output and standard error.
ToolVerdict RunTool(const std::string& tool, const std::string& command);
// `text` as one word for the shell.
std::string ShellQuoted(const std::string& text);
// Info-ZIP's `unzip -t`: reads every entry and checks its CRC.
ToolVerdict UnzipTest(const std::string& archive);
// Python's zipfile: opens the archive, reads every entry and checks its CRC. On acceptance the
// output lists the entry names, one a line.
ToolVerdict PythonZipTest(const std::string& archive);
// What the installed ones of these two tools said against the archive; empty when they accepted
// it or none is installed.
std::string ZipToolComplaints(const std::string& archive);

// A child process that holds a lock on a file until the object goes.
class LockHolder {
 public:
  enum class Kind { kFlockExclusive, kFlockShared, kFcntlWrite, kFcntlRead };
  LockHolder(const std::string& path, Kind kind);
  ~LockHolder();
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  bool locked() const { return locked_; }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

// Little-endian field writers for hand-made records.
void PutU16(std::string& out, uint16_t value);
void PutU32(std::string& out, uint32_t value);
uint16_t GetU16(std::string_view bytes, size_t at);
uint32_t GetU32(std::string_view bytes, size_t at);

}  // namespace vellomir::testing

#endif  // VELLOMIR_TESTS_SUPPORT_TEST_SUPPORT_H_
