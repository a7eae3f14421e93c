// The POSIX (Linux) implementation of the file system seam.
//
// Windows semantics that the repair relies on, and how they are had here:
// - "No sharing": an open document holds an exclusive flock() and an OFD read lock, and opening
//   fails while another process holds either kind of lock on it, so the classic fcntl() locks of
//   LibreOffice and the flock() of other tools both keep Vellomir away from a file in use.
// - Read-only: a file without its owner-write bit. The kernel lets root write to it anyway, so
//   CreateFile checks the bit itself before it empties a file.
// - Hidden: a name that begins with ".".
// - File times: access and modification times. Linux keeps a birth time on many file systems but
//   offers no way to set it, so a creation time given to SetTimes is dropped.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace vellomir::platform {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochInFileTimeSeconds = 11644473600;
constexpr int64_t kFileTimeUnitsPerSecond = 10000000;

FileTime ToFileTime(const struct timespec& ts) {
  const int64_t seconds = ts.tv_sec + kUnixEpochInFileTimeSeconds;
  if (seconds < 0) return 0;
  return static_cast<FileTime>(seconds) * kFileTimeUnitsPerSecond +
         static_cast<FileTime>(ts.tv_nsec / 100);
}

struct timespec ToTimespec(FileTime time) {
  struct timespec ts {};
  if (time == 0) {
    ts.tv_nsec = UTIME_OMIT;
    return ts;
  }
  ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(time / kFileTimeUnitsPerSecond) -
                                  kUnixEpochInFileTimeSeconds);
  ts.tv_nsec = static_cast<long>((time % kFileTimeUnitsPerSecond) * 100);
  return ts;
}

// The native form of a path, or nothing when it cannot name a file (empty, or holding a NUL that
// would cut it short).
std::optional<std::string> NativePath(const Path& path) {
  if (path.empty() || path.find(u'\0') != Path::npos) return std::nullopt;
  return ToNative(path);
}

std::u16string BaseName(const std::string& native) {
  const size_t slash = native.find_last_of('/');
  return FromNative(slash == std::string::npos ? native : native.substr(slash + 1));
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// True when another open file description holds a lock on the whole file or part of it that
// conflicts with `type` (F_RDLCK: another writer lock; F_WRLCK: any lock). Both the classic
// process-associated fcntl() locks and OFD locks are seen by F_OFD_GETLK.
bool LockedByOther(int fd, short type) {
  struct flock probe {};
  probe.l_type = type;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;  // no record locks on this fs
  return probe.l_type != F_UNLCK;
}

bool TakeOfdLock(int fd, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 || errno == EINVAL || errno == ENOLCK;
}

bool TakeFlock(int fd, int operation) {
  while (::flock(fd, operation | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    // File systems without flock support say so with EINVAL or ENOLCK; they cannot lock at all.
    return errno == EINVAL || errno == ENOLCK;
  }
  return true;
}

// Fills `buffer` with up to `size` bytes through `read_some(out, wanted, done)`, a read(2)-like
// call, going on after short reads and interruptions. The bytes read, fewer only at the end of
// the file or at an error after some bytes were read; -1 for an error before any.
template <typename ReadSome>
int64_t ReadFully(void* buffer, size_t size, ReadSome read_some) {
  size_t done = 0;
  auto* out = static_cast<unsigned char*>(buffer);
  while (done < size) {
    const ssize_t n = read_some(out + done, size - done, done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

// The file operations on a descriptor, for plain and for pending files.
template <typename Base>
class FdFile : public Base {
 public:
  FdFile(int fd, std::string native_path) : fd_(fd), native_path_(std::move(native_path)) {}
  ~FdFile() override { ::close(fd_); }

  bool Seek(int64_t offset) override {
    if (offset < 0) return false;
    return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
  }

  int64_t Read(void* buffer, size_t size) override {
    return ReadFully(buffer, size, [this](unsigned char* out, size_t wanted, size_t) {
      return ::read(fd_, out, wanted);
    });
  }

  int64_t ReadAt(int64_t offset, void* buffer, size_t size) override {
    if (offset < 0) return -1;
    return ReadFully(buffer, size, [this, offset](unsigned char* out, size_t wanted, size_t done) {
      return ::pread(fd_, out, wanted, static_cast<off_t>(offset) + static_cast<off_t>(done));
    });
  }

  bool Write(const void* buffer, size_t size) override {
    size_t done = 0;
    const auto* in = static_cast<const unsigned char*>(buffer);
    while (done < size) {
      const ssize_t n = ::write(fd_, in + done, size - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  int64_t Size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  bool IsDiskFile() override {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  }

  std::optional<FileInfo> Info() override {
    struct statx sx {};
    if (::statx(fd_, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
      return std::nullopt;
    }
    FileInfo info;
    info.size = sx.stx_size;
    const bool is_folder = S_ISDIR(sx.stx_mode);
    info.attributes = is_folder ? kAttrDirectory : kAttrArchive;
    if ((sx.stx_mode & S_IWUSR) == 0) info.attributes |= kAttrReadOnly;
    const std::u16string name = BaseName(native_path_);
    if (!name.empty() && name[0] == u'.') info.attributes |= kAttrHidden;
    const auto to_file_time = [](const struct statx_timestamp& t) {
      struct timespec ts {};
      ts.tv_sec = t.tv_sec;
      ts.tv_nsec = t.tv_nsec;
      return ToFileTime(ts);
    };
    info.times.last_write = to_file_time(sx.stx_mtime);
    info.times.last_access = to_file_time(sx.stx_atime);
    // File systems without a birth time give the modification time in its place.
    info.times.creation =
        (sx.stx_mask & STATX_BTIME) != 0 ? to_file_time(sx.stx_btime) : info.times.last_write;
    return info;
  }

  bool SetTimes(const FileTimes& times) override {
    // Linux cannot set a file's birth time: times.creation is dropped here.
    const struct timespec values[2] = {ToTimespec(times.last_access), ToTimespec(times.last_write)};
    return ::futimens(fd_, values) == 0;
  }

  bool Sync() override { return ::fsync(fd_) == 0; }

 protected:
  int fd_;
  std::string native_path_;
};

using PosixFile = FdFile<File>;

// Opens an existing regular file for reading. `lock` is LOCK_EX for exclusive use, LOCK_SH for
// shared reading.
std::unique_ptr<File> OpenForReading(const Path& path, int lock) {
  const std::optional<std::string> native = NativePath(path);
  if (!native) return nullptr;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(native->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  // Root may read any file; a file that nobody may read is refused all the same.
  if ((st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH)) == 0) return nullptr;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  const short conflicting = lock == LOCK_EX ? F_WRLCK : F_RDLCK;
  if (LockedByOther(fd.get(), conflicting)) return nullptr;
  if (!TakeFlock(fd.get(), lock)) return nullptr;
  if (!TakeOfdLock(fd.get(), F_RDLCK)) return nullptr;
  return std::make_unique<PosixFile>(fd.release(), *native);
}

// Opens the file that exists at `native` for replacing: a regular, writable, unlocked file,
// emptied. Fails on anything else.
int OpenExistingForReplace(const std::string& native, mode_t mode) {
  UniqueFd fd(::open(native.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return -1;
  struct stat st {};
  const auto refuse = [](int error) {
    errno = error;
    return -1;
  };
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return refuse(EISDIR);
  // Read-only: never emptied, also not for root, whom the kernel would let write.
  if ((st.st_mode & S_IWUSR) == 0) return refuse(EACCES);
  if (LockedByOther(fd.get(), F_WRLCK) || !TakeFlock(fd.get(), LOCK_EX)) return refuse(EBUSY);
  if (::ftruncate(fd.get(), 0) != 0) return refuse(EIO);
  if ((mode & S_IWUSR) == 0) ::fchmod(fd.get(), st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH));
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return fd.release();
}

bool SyncFolderOf(const std::string& native) {
  const size_t slash = native.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : native.substr(0, slash));
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

// A pending file is an unnamed O_TMPFILE where the file system has them; elsewhere a hidden
// scratch name in the same folder, removed unless it was published.
class PosixPendingFile final : public FdFile<PendingFile> {
 public:
  PosixPendingFile(int fd, std::string native_path, std::string scratch_name)
      : FdFile(fd, std::move(native_path)), scratch_name_(std::move(scratch_name)) {}
  ~PosixPendingFile() override {
    if (!scratch_name_.empty()) ::unlink(scratch_name_.c_str());
  }

  bool Publish(const Path& path) override {
    const std::optional<std::string> target = NativePath(path);
    if (!target || ::fsync(fd_) != 0) return false;
    if (!LinkTo(*target)) return false;
    native_path_ = *target;
    if (!scratch_name_.empty()) {
      ::unlink(scratch_name_.c_str());
      scratch_name_.clear();
    }
    SyncFolderOf(*target);
    return true;
  }

 private:
  // link() and linkat() never replace an existing name.
  bool LinkTo(const std::string& target) {
    if (scratch_name_.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_);
      return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
    }
    if (::link(scratch_name_.c_str(), target.c_str()) == 0) return true;
    if (errno == EEXIST) return false;
    // File systems without hard links (FAT, some network shares) can still rename without
    // replacing.
    if (::renameat2(AT_FDCWD, scratch_name_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) !=
        0) {
      return false;
    }
    scratch_name_.clear();
    return true;
  }

  std::string scratch_name_;
};

std::unique_ptr<PendingFile> CreatePendingIn(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (fd >= 0) return std::make_unique<PosixPendingFile>(fd, folder, std::string());
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string scratch = folder + "/.vellomir-" + std::to_string(::getpid()) + "-" +
                                std::to_string(counter.fetch_add(1)) + ".part";
    fd = ::open(scratch.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return std::make_unique<PosixPendingFile>(fd, scratch, scratch);
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

bool StatNoFollow(const Path& path, struct stat& st) {
  const std::optional<std::string> native = NativePath(path);
  return native && ::lstat(native->c_str(), &st) == 0;
}

// The folder that holds every user's temporary files: $TMPDIR when it names an absolute path,
// else /tmp.
std::string SystemTempFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string folder = (tmpdir != nullptr && tmpdir[0] == '/') ? tmpdir : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// A folder is private when it is a real folder (not a link), owned by this user, and closed to
// everybody else.
bool MakePrivateFolder(const std::string& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != ::geteuid()) return false;
  if ((st.st_mode & 0777) != 0700 && ::chmod(folder.c_str(), 0700) != 0) return false;
  return true;
}

class PosixFileLock final : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { ::close(fd_); }

 private:
  int fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> OpenExclusiveRead(const Path& path) override {
    return OpenForReading(path, LOCK_EX);
  }

  std::unique_ptr<File> OpenSharedRead(const Path& path) override {
    return OpenForReading(path, LOCK_SH);
  }

  std::unique_ptr<File> CreateFile(const Path& path, CreateMode mode,
                                   uint32_t attributes) override {
    const std::optional<std::string> native = NativePath(path);
    if (!native) return nullptr;
    const mode_t permissions = (attributes & kAttrReadOnly) != 0 ? 0444 : 0666;
    // A file that was removed between the two attempts is tried once more.
    for (int attempt = 0; attempt < 3; ++attempt) {
      int fd =
          ::open(native->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, permissions);
      if (fd >= 0) {
        if (!TakeFlock(fd, LOCK_EX)) {
          ::close(fd);
          return nullptr;
        }
        return std::make_unique<PosixFile>(fd, *native);
      }
      if (errno != EEXIST || mode == CreateMode::kNewOnly) return nullptr;
      fd = OpenExistingForReplace(*native, permissions);
      if (fd >= 0) return std::make_unique<PosixFile>(fd, *native);
      if (errno != ENOENT) return nullptr;
    }
    return nullptr;
  }

  bool Exists(const Path& path) override {
    struct stat st {};
    return StatNoFollow(path, st);
  }

  bool IsFolder(const Path& path) override {
    struct stat st {};
    return StatNoFollow(path, st) && S_ISDIR(st.st_mode);
  }

  bool DeleteFile(const Path& path) override {
    const std::optional<std::string> native = NativePath(path);
    return native && ::unlink(native->c_str()) == 0;
  }

  bool CreateFolder(const Path& path) override {
    const std::optional<std::string> native = NativePath(path);
    return native && ::mkdir(native->c_str(), 0777) == 0;
  }

  bool RemoveFolder(const Path& path) override {
    const std::optional<std::string> native = NativePath(path);
    return native && ::rmdir(native->c_str()) == 0;
  }

  std::optional<std::vector<FolderEntry>> ListFolder(const Path& path) override {
    const std::optional<std::string> native = NativePath(path);
    if (!native) return std::nullopt;
    const int fd = ::open(native->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      return std::nullopt;
    }
    std::vector<FolderEntry> entries;
    errno = 0;
    while (const struct dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      const bool is_folder =
          ::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      entries.push_back(FolderEntry{FromNative(name), is_folder});
      errno = 0;
    }
    const bool complete = errno == 0;
    ::closedir(dir);
    if (!complete) return std::nullopt;
    return entries;
  }

  bool SetNormalAttributes(const Path& path) override {
    const std::optional<std::string> native = NativePath(path);
    struct stat st {};
    if (!native || ::lstat(native->c_str(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) return true;  // a link has no permissions of its own
    mode_t wanted = st.st_mode | S_IWUSR | S_IRUSR;
    if (S_ISDIR(st.st_mode)) wanted |= S_IXUSR;
    return (wanted & 07777) == (st.st_mode & 07777) || ::chmod(native->c_str(), wanted) == 0;
  }

  bool MoveFile(const Path& from, const Path& to) override {
    const std::optional<std::string> source = NativePath(from);
    const std::optional<std::string> target = NativePath(to);
    return source && target && ::rename(source->c_str(), target->c_str()) == 0;
  }

  std::unique_ptr<PendingFile> CreatePendingFile(const Path& folder) override {
    std::optional<std::string> native = NativePath(folder);
    if (!native) return nullptr;
    while (native->size() > 1 && native->back() == '/') native->pop_back();
    return CreatePendingIn(*native);
  }

  std::unique_ptr<FileLock> LockExclusive(const Path& path) override {
    const std::optional<std::string> native = NativePath(path);
    if (!native) return nullptr;
    UniqueFd fd(::open(native->c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0) return nullptr;
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return nullptr;
    }
    return std::make_unique<PosixFileLock>(fd.release());
  }

  Path TempFolder() override {
    const std::string folder =
        SystemTempFolder() + "/vellomir-" + std::to_string(static_cast<unsigned long>(::geteuid()));
    if (!MakePrivateFolder(folder)) return Path();
    return FromNative(folder) + kSeparator;
  }

  Path CurrentFolder() override {
    std::string buffer(4096, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE || buffer.size() > (1u << 20)) return Path();
      buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::strlen(buffer.c_str()));
    return FromNative(buffer);
  }

  FileTime CurrentTime() override {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ToFileTime(ts);
  }

  int64_t LocalTimeOffsetSeconds() override {
    const time_t now = ::time(nullptr);
    struct tm local {};
    if (::localtime_r(&now, &local) == nullptr) return 0;
    return local.tm_gmtoff;
  }
};

}  // namespace

FileSystem& SystemFs() {
  static PosixFileSystem instance;
  return instance;
}

}  // namespace vellomir::platform
