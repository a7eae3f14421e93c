#include "support/test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/platform.h"

namespace vellomir::testing {

std::u16string U16(std::string_view utf8) {
  return platform::FromNative(utf8);
}
std::string U8(std::u16string_view text) {
  return platform::ToNative(text);
}

namespace {

std::string SystemTemp() {
  const char* tmpdir = std::getenv("VELLOMIR_TEST_TMP");
  return tmpdir != nullptr ? tmpdir : "/tmp";
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = SystemTemp() + "/vellomir-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  RemoveTree(path_);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) previous_ = old;
  ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    ::setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedTempFolder::ScopedTempFolder() : env_("TMPDIR", dir_.path()) {}

std::string ScopedTempFolder::private_folder() const {
  return dir_.path() + "/vellomir-" + std::to_string(::geteuid()) + "/";
}

bool WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void MakeFolders(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0777);
  }
}

std::vector<std::string> ListFilesRecursively(const std::string& folder) {
  std::vector<std::string> files;
  std::function<void(const std::string&, const std::string&)> walk =
      [&](const std::string& dir, const std::string& prefix) {
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) return;
        while (const dirent* e = ::readdir(d)) {
          const std::string name = e->d_name;
          if (name == "." || name == "..") continue;
          struct stat st {};
          const std::string full = dir + "/" + name;
          if (::lstat(full.c_str(), &st) != 0) continue;
          if (S_ISDIR(st.st_mode)) {
            walk(full, prefix + name + "/");
          } else {
            files.push_back(prefix + name);
          }
        }
        ::closedir(d);
      };
  walk(folder, "");
  std::sort(files.begin(), files.end());
  return files;
}

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    if (DIR* d = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(d);
      for (const std::string& name : names) RemoveTree(path + "/" + name);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

std::string Deflate(std::string_view data, int level) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&stream, data.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string Inflate(std::string_view raw) {
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return {};
  std::string out;
  char buffer[16384];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  stream.avail_in = static_cast<uInt>(raw.size());
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
  }
  inflateEnd(&stream);
  return out;
}

uint32_t Crc32(std::string_view data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string TextRows(size_t rows, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string out;
  for (size_t i = 0; i < rows; ++i) {
    out +=
        "<row n=\"" + std::to_string(i) + "\">" + std::to_string(generator() % 100000) + "</row>\n";
  }
  return out;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(generator() & 0xFF);
  return out;
}

void PutU16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void PutU32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint16_t GetU16(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                               static_cast<unsigned char>(bytes[at + 1]) << 8);
}

uint32_t GetU32(std::string_view bytes, size_t at) {
  return static_cast<uint32_t>(GetU16(bytes, at)) | static_cast<uint32_t>(GetU16(bytes, at + 2))
                                                        << 16;
}

ZipBuilder::Placed ZipBuilder::Add(const Member& member) {
  Placed placed;
  placed.header_offset = bytes_.size();
  placed.payload =
      member.payload ? *member.payload : (member.method == 8 ? Deflate(member.data) : member.data);
  const uint32_t crc = Crc32(member.data);
  const auto csize = static_cast<uint32_t>(placed.payload.size());
  const auto usize = static_cast<uint32_t>(member.data.size());
  const uint16_t flags = static_cast<uint16_t>(member.flags | (member.descriptor ? 0x0008 : 0));

  std::string header;
  PutU32(header, 0x04034B50);
  PutU16(header, 20);
  PutU16(header, flags);
  PutU16(header, member.method);
  PutU16(header, member.dos_time);
  PutU16(header, member.dos_date);
  PutU32(header, member.header_crc.value_or(member.descriptor ? 0 : crc));
  PutU32(header, member.header_compressed_size.value_or(member.descriptor ? 0 : csize));
  PutU32(header, member.header_uncompressed_size.value_or(member.descriptor ? 0 : usize));
  PutU16(header, member.header_name_length.value_or(static_cast<uint16_t>(member.name.size())));
  PutU16(header, static_cast<uint16_t>(member.extra.size()));
  header += member.name;
  header += member.extra;
  bytes_ += header;
  placed.data_offset = bytes_.size();
  bytes_ += placed.payload;
  placed.data_end = bytes_.size();
  if (member.descriptor) {
    PutU32(bytes_, 0x08074B50);
    PutU32(bytes_, crc);
    PutU32(bytes_, csize);
    PutU32(bytes_, usize);
  }
  central_.push_back(Central{member, crc, csize, usize, placed.header_offset});
  return placed;
}

void ZipBuilder::Finish() {
  const size_t directory_offset = bytes_.size();
  for (const Central& c : central_) {
    PutU32(bytes_, 0x02014B50);
    PutU16(bytes_, 0x0314);
    PutU16(bytes_, 20);
    PutU16(bytes_, static_cast<uint16_t>(c.member.flags | (c.member.descriptor ? 0x0008 : 0)));
    PutU16(bytes_, c.member.method);
    PutU16(bytes_, c.member.dos_time);
    PutU16(bytes_, c.member.dos_date);
    PutU32(bytes_, c.crc);
    PutU32(bytes_, c.compressed_size);
    PutU32(bytes_, c.uncompressed_size);
    PutU16(bytes_, static_cast<uint16_t>(c.member.name.size()));
    PutU16(bytes_, 0);
    PutU16(bytes_, 0);
    PutU16(bytes_, 0);
    PutU16(bytes_, 0);
    PutU32(bytes_, c.member.external_attributes);
    PutU32(bytes_, static_cast<uint32_t>(c.offset));
    bytes_ += c.member.name;
  }
  const size_t directory_size = bytes_.size() - directory_offset;
  PutU32(bytes_, 0x06054B50);
  PutU16(bytes_, 0);
  PutU16(bytes_, 0);
  PutU16(bytes_, static_cast<uint16_t>(central_.size()));
  PutU16(bytes_, static_cast<uint16_t>(central_.size()));
  PutU32(bytes_, static_cast<uint32_t>(directory_size));
  PutU32(bytes_, static_cast<uint32_t>(directory_offset));
  PutU16(bytes_, 0);
}

}  // namespace vellomir::testing
