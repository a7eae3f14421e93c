#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

std::optional<std::pair<uint64_t, uint32_t>> FileDigest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<char> block(1u << 20);
  uint64_t size = 0;
  uLong crc = crc32(0, nullptr, 0);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto n = static_cast<uInt>(in.gcount());
    crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), n);
    size += n;
  }
  if (in.bad()) return std::nullopt;
  return std::make_pair(size, static_cast<uint32_t>(crc));
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

ZipBuilder::Member ZipBuilder::Simple(const std::string& name, const std::string& data,
                                      uint16_t method) {
  Member member;
  member.name = name;
  member.data = data;
  member.method = method;
  return member;
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

ZipBuilder::Member EndlessDeflatedMember(const std::string& name, size_t mebibytes) {
  ZipBuilder::Member member = ZipBuilder::Simple(name, "", 8);
  member.flags = 0x0008;
  member.header_crc = 0;
  member.header_compressed_size = 0;
  member.header_uncompressed_size = 0;
  member.payload = std::string();
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return member;
  std::string zeros(1u << 20, '\0');
  std::string chunk(64u << 10, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
  stream.avail_in = static_cast<uInt>(zeros.size());
  stream.next_out = reinterpret_cast<Bytef*>(chunk.data());
  stream.avail_out = static_cast<uInt>(chunk.size());
  const int flushed = deflate(&stream, Z_FULL_FLUSH);
  const bool whole = flushed == Z_OK && stream.avail_in == 0;
  chunk.resize(chunk.size() - stream.avail_out);
  deflateEnd(&stream);
  if (!whole) return member;
  member.payload->reserve(chunk.size() * mebibytes);
  for (size_t i = 0; i < mebibytes; ++i) *member.payload += chunk;
  return member;
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

// ------------------------------------------------------------------------- reading archives

namespace {

constexpr size_t kEndRecordSize = 22;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;

bool Fail(std::string* problem, const std::string& why) {
  if (problem != nullptr) *problem = why;
  return false;
}

// Reads the central header at `at` into `entry` and moves `at` past it.
bool ReadCentralHeader(std::string_view archive, size_t& at, size_t end, ZipListing::Entry& entry,
                       std::string* problem) {
  if (end - at < kCentralHeaderSize || GetU32(archive, at) != 0x02014B50) {
    return Fail(problem, "no central header at " + std::to_string(at));
  }
  entry.version_made_by = GetU16(archive, at + 4);
  entry.version_needed = GetU16(archive, at + 6);
  entry.flags = GetU16(archive, at + 8);
  entry.method = GetU16(archive, at + 10);
  entry.dos_time = GetU16(archive, at + 12);
  entry.dos_date = GetU16(archive, at + 14);
  entry.crc = GetU32(archive, at + 16);
  entry.compressed_size = GetU32(archive, at + 20);
  entry.uncompressed_size = GetU32(archive, at + 24);
  const size_t name_length = GetU16(archive, at + 28);
  const size_t extra_length = GetU16(archive, at + 30);
  entry.comment_length = GetU16(archive, at + 32);
  entry.disk_start = GetU16(archive, at + 34);
  entry.internal_attributes = GetU16(archive, at + 36);
  entry.external_attributes = GetU32(archive, at + 38);
  entry.local_header_offset = GetU32(archive, at + 42);
  const size_t variable = name_length + extra_length + entry.comment_length;
  if (end - at - kCentralHeaderSize < variable) return Fail(problem, "central header cut short");
  entry.name = std::string(archive.substr(at + kCentralHeaderSize, name_length));
  entry.central_extra =
      std::string(archive.substr(at + kCentralHeaderSize + name_length, extra_length));
  at += kCentralHeaderSize + variable;
  return true;
}

// Reads the local header and data of `entry` and checks them against its central record.
bool ReadLocalEntry(std::string_view archive, size_t central_offset, ZipListing::Entry& entry,
                    std::string* problem) {
  const size_t at = entry.local_header_offset;
  const std::string where = " (" + entry.name + ")";
  if (at > central_offset || central_offset - at < kLocalHeaderSize ||
      GetU32(archive, at) != 0x04034B50) {
    return Fail(problem, "no local header at " + std::to_string(at) + where);
  }
  const bool agrees =
      GetU16(archive, at + 4) == entry.version_needed && GetU16(archive, at + 6) == entry.flags &&
      GetU16(archive, at + 8) == entry.method && GetU16(archive, at + 10) == entry.dos_time &&
      GetU16(archive, at + 12) == entry.dos_date && GetU32(archive, at + 14) == entry.crc &&
      GetU32(archive, at + 18) == entry.compressed_size &&
      GetU32(archive, at + 22) == entry.uncompressed_size &&
      GetU16(archive, at + 26) == entry.name.size();
  if (!agrees) return Fail(problem, "local header disagrees with the central one" + where);
  const size_t extra_length = GetU16(archive, at + 28);
  const size_t data_offset = at + kLocalHeaderSize + entry.name.size() + extra_length;
  if (data_offset > central_offset || central_offset - data_offset < entry.compressed_size) {
    return Fail(problem, "entry reaches into the central directory" + where);
  }
  if (archive.substr(at + kLocalHeaderSize, entry.name.size()) != entry.name) {
    return Fail(problem, "local name differs" + where);
  }
  entry.local_extra =
      std::string(archive.substr(at + kLocalHeaderSize + entry.name.size(), extra_length));
  entry.data = std::string(archive.substr(data_offset, entry.compressed_size));
  return true;
}

}  // namespace

std::optional<ZipListing> ReadZipListing(std::string_view archive, std::string* problem) {
  const auto refuse = [&](const std::string& why) {
    Fail(problem, why);
    return std::nullopt;
  };
  if (archive.size() < kEndRecordSize) return refuse("too short");
  const size_t end_offset = archive.size() - kEndRecordSize;
  if (GetU32(archive, end_offset) != 0x06054B50 || GetU16(archive, end_offset + 20) != 0) {
    return refuse("no end record at the end");
  }
  const uint16_t count = GetU16(archive, end_offset + 10);
  if (GetU16(archive, end_offset + 4) != 0 || GetU16(archive, end_offset + 6) != 0 ||
      GetU16(archive, end_offset + 8) != count) {
    return refuse("disk numbers or counts disagree");
  }
  ZipListing listing;
  listing.central_size = GetU32(archive, end_offset + 12);
  listing.central_offset = GetU32(archive, end_offset + 16);
  if (uint64_t{listing.central_offset} + listing.central_size != end_offset) {
    return refuse("central directory does not end at the end record");
  }
  size_t at = listing.central_offset;
  for (uint16_t i = 0; i < count; ++i) {
    ZipListing::Entry entry;
    if (!ReadCentralHeader(archive, at, end_offset, entry, problem) ||
        !ReadLocalEntry(archive, listing.central_offset, entry, problem)) {
      return std::nullopt;
    }
    listing.entries.push_back(std::move(entry));
  }
  if (at != end_offset) return refuse("bytes after the last central header");
  return listing;
}

std::optional<ZipListing> ReadZipListingFile(const std::string& path, std::string* problem) {
  const std::optional<std::string> bytes = ReadFile(path);
  if (!bytes) {
    Fail(problem, "no archive at " + path);
    return std::nullopt;
  }
  return ReadZipListing(*bytes, problem);
}

std::vector<std::string> EntryNames(const ZipListing& listing) {
  std::vector<std::string> names;
  for (const ZipListing::Entry& entry : listing.entries) names.push_back(entry.name);
  return names;
}

std::optional<std::map<std::string, std::string>> ReadZipMembersFile(const std::string& path,
                                                                     std::string* problem) {
  const std::optional<ZipListing> listing = ReadZipListingFile(path, problem);
  if (!listing) return std::nullopt;
  std::map<std::string, std::string> members;
  for (const ZipListing::Entry& entry : listing->entries) {
    members[entry.name] = entry.method == 8 ? Inflate(entry.data) : entry.data;
  }
  return members;
}

// ------------------------------------------------------------------------------ zip tools

namespace {

bool HaveCommand(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

ToolVerdict RunTool(const std::string& tool, const std::string& command) {
  ToolVerdict verdict;
  if (!HaveCommand(tool)) return verdict;
  verdict.available = true;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return verdict;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) verdict.output.append(buffer, n);
  const int status = ::pclose(pipe);
  verdict.accepted = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return verdict;
}

ToolVerdict UnzipTest(const std::string& archive) {
  return RunTool("unzip", "unzip -t " + ShellQuoted(archive));
}

ToolVerdict PythonZipTest(const std::string& archive) {
  const std::string script =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1]) as z:\n"
      "    bad = z.testzip()\n"
      "    if bad is not None: sys.exit('bad entry: ' + bad)\n"
      "    sys.stdout.buffer.write(b''.join(n.encode('utf-8', 'surrogateescape') + b'\\n'"
      " for n in z.namelist()))\n";
  return RunTool("python3", "python3 -c " + ShellQuoted(script) + " " + ShellQuoted(archive));
}

std::string ZipToolComplaints(const std::string& archive) {
  std::string complaints;
  for (const ToolVerdict& verdict : {UnzipTest(archive), PythonZipTest(archive)}) {
    if (verdict.available && !verdict.accepted) complaints += verdict.output;
  }
  return complaints;
}

// ------------------------------------------------------------------------------- locking

LockHolder::LockHolder(const std::string& path, Kind kind) {
  int ready[2];
  if (::pipe(ready) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    // The child shares the parent's open files, and with them their flock and OFD locks:
    // close them, so that the parent's locks end when the parent closes its files.
    for (int fd = 3; fd < 1024; ++fd) {
      if (fd != ready[1]) ::close(fd);
    }
    const bool write = kind == Kind::kFcntlWrite;
    const int fd = ::open(path.c_str(), write ? O_RDWR : O_RDONLY);
    bool locked = false;
    if (kind == Kind::kFlockExclusive || kind == Kind::kFlockShared) {
      locked = ::flock(fd, kind == Kind::kFlockExclusive ? LOCK_EX : LOCK_SH) == 0;
    } else {
      struct flock lock {};
      lock.l_type = write ? F_WRLCK : F_RDLCK;
      lock.l_whence = SEEK_SET;
      locked = ::fcntl(fd, F_SETLK, &lock) == 0;
    }
    const char answer = locked ? 'y' : 'n';
    if (::write(ready[1], &answer, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char answer = 'n';
  if (::read(ready[0], &answer, 1) != 1) answer = 'n';
  ::close(ready[0]);
  locked_ = answer == 'y';
}

LockHolder::~LockHolder() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

}  // namespace vellomir::testing
