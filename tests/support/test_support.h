// Helpers shared by the tests: scratch folders, whole-file reads and writes, raw deflate, and a
// builder for hand-made zip containers with exactly the defects a test needs.
#ifndef VELLOMIR_TESTS_SUPPORT_TEST_SUPPORT_H_
#define VELLOMIR_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Little-endian field writers for hand-made records.
void PutU16(std::string& out, uint16_t value);
void PutU32(std::string& out, uint32_t value);
uint16_t GetU16(std::string_view bytes, size_t at);
uint32_t GetU32(std::string_view bytes, size_t at);

}  // namespace vellomir::testing

#endif  // VELLOMIR_TESTS_SUPPORT_TEST_SUPPORT_H_
