// The operating-system seam of Vellomir.
//
// Everything the repair core asks of the operating system goes through this header: opening,
// reading and writing files, listing and removing folders, the per-user temporary folder, file
// times and the current clock. The core never includes a system header itself, so a Win32
// implementation can sit beside the POSIX one, and tests can substitute an implementation that
// fails on cue (see ScopedFileSystem).
//
// Paths and texts are 16-bit strings (std::u16string). The POSIX implementation converts them to
// UTF-8 at its edge. Folder names in a path are separated by kSeparator.
//
// Usage:
//   platform::FileSystem& fs = platform::Fs();
//   std::unique_ptr<platform::File> file = fs.OpenExclusiveRead(u"/home/me/Book.ods");
//   if (!file) { /* missing, not a regular file, unreadable or locked by another process */ }
//   std::vector<uint8_t> block(65536);
//   int64_t n = platform::ReadAt(*file, 0, block.data(), block.size());
#ifndef VELLOMIR_PLATFORM_PLATFORM_H_
#define VELLOMIR_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellomir::platform {

using Path = std::u16string;

// The separator between folder names in a path on this platform.
#ifdef _WIN32
inline constexpr char16_t kSeparator = u'\\';
#else
inline constexpr char16_t kSeparator = u'/';
#endif

// A point in time as 100-nanosecond units since 1601-01-01 00:00:00 UTC, the unit in which zip
// tools and Windows count file times. 0 means "not known".
using FileTime = uint64_t;

// File attribute bits as the zip format's MS-DOS byte has them.
enum FileAttributes : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
};

struct FileTimes {
  FileTime creation = 0;
  FileTime last_access = 0;
  FileTime last_write = 0;
};

// What the writer needs to know of a file it packs.
struct FileInfo {
  uint32_t attributes = 0;  // FileAttributes bits
  uint64_t size = 0;
  FileTimes times;
};

// An open file. Reads and writes happen at the current position, which Seek sets, as with the
// Windows file calls; ReadAt below combines the two. Destroying the object closes the file and
// releases any lock it holds.
class File {
 public:
  virtual ~File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Moves the position to `offset` bytes from the start. False if the file cannot be
  // repositioned (it is not a disk file) or the offset is negative.
  virtual bool Seek(int64_t offset) = 0;
  // Reads up to `size` bytes at the position and advances it. Returns the number of bytes read,
  // 0 at the end of the file, -1 when the read failed (a bad sector, a vanished device).
  virtual int64_t Read(void* buffer, size_t size) = 0;
  // Reads up to `size` bytes at `offset`, as Seek and then Read do; the position afterwards is
  // not defined. One call where the system can read at an offset, which matters for a source of
  // millions of false headers that are each read once.
  virtual int64_t ReadAt(int64_t offset, void* buffer, size_t size);
  // Writes all `size` bytes at the position and advances it. False when not all of them could be
  // written (a full disk, a failing device).
  virtual bool Write(const void* buffer, size_t size) = 0;
  // The current size in bytes, or -1 when it cannot be had.
  virtual int64_t Size() = 0;
  // True for a file on a disk that can be repositioned (a regular file).
  virtual bool IsDiskFile() = 0;
  // Attributes, size and times of the open file.
  virtual std::optional<FileInfo> Info() = 0;
  // Sets the file's times; a time of 0 is left as it is.
  virtual bool SetTimes(const FileTimes& times) = 0;
  // Flushes the file's data to stable storage.
  virtual bool Sync() = 0;

 protected:
  File() = default;
};

// Reads up to `size` bytes at `offset` (File::ReadAt). Returns -1 when the read failed.
int64_t ReadAt(File& file, int64_t offset, void* buffer, size_t size);
// Reads exactly `size` bytes at `offset`. False on a failure and on an early end of the file.
bool ReadExactAt(File& file, int64_t offset, void* buffer, size_t size);

// A lock held on a file for the lifetime of the object.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// A file being written that takes its name only at the end.
class PendingFile : public File {
 public:
  // Flushes the data to stable storage, then gives the file the name `path` without ever
  // replacing anything there, and makes the name durable. False when anything exists at `path`
  // or the file could not be flushed or named; the file stays unnamed then and can be published
  // under another name.
  virtual bool Publish(const Path& path) = 0;
};

struct FolderEntry {
  Path name;               // the entry's own name, without its folder
  bool is_folder = false;  // a real folder; a link to a folder counts as a file, so that a
                           // tree walk removes the link and never what it points to
};

// How CreateFile treats a file that already exists at the path.
enum class CreateMode {
  kReplace,  // empty an existing file, unless it is read-only
  kNewOnly,  // fail if anything exists at the path
};

// The operating-system calls of the repair core. Fs() gives the one in use.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens a document for exclusive reading: regular files only (a folder, pipe or device fails,
  // so reading never hangs on one), and not while another process holds a lock on it. The open
  // file holds a lock of its own until it is closed, so that cooperating programs leave it alone.
  virtual std::unique_ptr<File> OpenExclusiveRead(const Path& path) = 0;
  // Opens an existing regular file for reading while others may read it too; fails while another
  // process holds an exclusive lock on it.
  virtual std::unique_ptr<File> OpenSharedRead(const Path& path) = 0;
  // Creates a regular file for exclusive writing and reading. `attributes` (kAttrReadOnly) apply
  // to the file on disk; the open file can be written all the same. An existing read-only file is
  // never emptied or replaced: that fails, whoever runs the program. A link at the path is never
  // followed.
  virtual std::unique_ptr<File> CreateFile(const Path& path, CreateMode mode,
                                           uint32_t attributes) = 0;

  // True when anything (a file, a folder, a link) exists at the path.
  virtual bool Exists(const Path& path) = 0;
  // True when a folder exists at the path (a link to a folder does not count).
  virtual bool IsFolder(const Path& path) = 0;
  // Removes one file or link. False when nothing was removed.
  virtual bool DeleteFile(const Path& path) = 0;
  // Creates one folder; its parent must exist. False when it could not be created, also when it
  // exists already.
  virtual bool CreateFolder(const Path& path) = 0;
  // Removes an empty folder. False when it is not empty or cannot be removed.
  virtual bool RemoveFolder(const Path& path) = 0;
  // Every entry of a folder, hidden ones included, "." and ".." left out, in the order the
  // system gives them. Nothing when the folder cannot be listed.
  virtual std::optional<std::vector<FolderEntry>> ListFolder(const Path& path) = 0;
  // Makes a file or folder writable for its owner (clears read-only), so that it and what lies in
  // it can be removed. A link is left as it is.
  virtual bool SetNormalAttributes(const Path& path) = 0;
  // Renames a file, replacing a file at `to` (used inside the private workspace only).
  virtual bool MoveFile(const Path& from, const Path& to) = 0;
  // Creates a file in `folder` that has no name of its own until it is published: a result that
  // appears whole or not at all. A program that ends before Publish leaves nothing behind where the
  // file system allows it (an unnamed file), else a hidden scratch name that the file's
  // destruction removes.
  virtual std::unique_ptr<PendingFile> CreatePendingFile(const Path& folder) = 0;

  // Takes an exclusive lock on the file at `path` (created when missing, readable by its owner
  // only), waiting while another process holds it. Nothing when the file cannot be opened.
  virtual std::unique_ptr<FileLock> LockExclusive(const Path& path) = 0;

  // The per-user temporary folder for Vellomir's scratch files, ending in kSeparator. It lies in
  // the system's temporary folder, only its owner can enter it, and it is checked to be a real
  // folder owned by the user. Empty when no such folder can be had.
  virtual Path TempFolder() = 0;
  // The process's current folder, without a trailing separator.
  virtual Path CurrentFolder() = 0;
  // The current time.
  virtual FileTime CurrentTime() = 0;
  // The offset of local time from UTC at this moment, in seconds (east positive).
  virtual int64_t LocalTimeOffsetSeconds() = 0;
};

// The file system in use: the POSIX (or Win32) one unless a test has put another in place.
FileSystem& Fs();
// The system's own file system, whatever Fs() returns; wrappers in tests forward to it.
FileSystem& SystemFs();

// Puts `replacement` in place of Fs() for the lifetime of this object (tests only; not
// thread-safe against a run in progress).
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& replacement);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

// Text conversion at the edge between 16-bit texts and the system's 8-bit names, which on POSIX
// are UTF-8. Bytes that are not valid UTF-8 become the lone surrogates U+DC80 to U+DCFF and turn
// back into the same bytes, so any byte string survives the round trip (as Python's
// "surrogateescape" does). Member names inside zip containers use the same encoding.
std::u16string FromNative(std::string_view bytes);
std::string ToNative(std::u16string_view text);

// Plain UTF-8 output for people (log lines on a terminal): invalid sequences become U+FFFD.
std::string ToUtf8ForDisplay(std::u16string_view text);

}  // namespace vellomir::platform

#endif  // VELLOMIR_PLATFORM_PLATFORM_H_
