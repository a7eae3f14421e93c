// A file system for tests that forwards to the real one and fails on cue: a full disk, a failing
// write or repositioning, reads of a file that fail from an offset on (a bad sector, a vanished
// device), files or results that cannot be created or named, files that count what is written to
// them instead of storing it, and a hook to change the world between two calls. Read and size
// faults apply to files already open as soon as they are added, so the hook can add them midway.
// Put it in place with platform::ScopedFileSystem, or use ScopedFaults.
#ifndef VELLOMIR_TESTS_SUPPORT_FAULTY_FILE_SYSTEM_H_
#define VELLOMIR_TESTS_SUPPORT_FAULTY_FILE_SYSTEM_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vellomir::testing {

// Faults of every file the program creates (CreateFile and CreatePendingFile).
struct CreatedFileFaults {
  // The disk is full once a file reaches this size: a write that would go past it writes what
  // fits and fails, and so does every later one that goes past.
  std::optional<uint64_t> capacity = std::nullopt;
  // The write with this number (counted from 0 over every created file) fails once and writes
  // nothing.
  std::optional<int> failing_write = std::nullopt;
  // The repositioning with this number (counted from 0 over every created file) fails.
  std::optional<int> failing_seek = std::nullopt;
};

class FaultyFileSystem : public platform::FileSystem {
 public:
  using Faults = CreatedFileFaults;
  // Faults of the files whose path contains `path_part` (UTF-8).
  struct ReadFault {
    std::string path_part;
    int64_t from_offset = 0;  // a read that reaches into [from_offset, to_offset) fails
    std::optional<int64_t> to_offset = std::nullopt;  // none: to the end of the file
  };
  struct SizeFault {
    std::string path_part;
    uint64_t capacity = 0;  // as Faults::capacity, for these files only
  };

  explicit FaultyFileSystem(const Faults& faults = {}) : faults_(faults) {}

  std::vector<ReadFault> read_faults;
  std::vector<SizeFault> size_faults;
  // Created files whose path contains one of these store nothing: a write succeeds and only
  // moves the position on, and the file's size is the furthest position written. A member of
  // gigabytes costs no disk this way.
  std::vector<std::string> count_only;
  // CreateFile fails for paths that contain one of these.
  std::vector<std::string> refuse_create;
  // CreatePendingFile fails for folders that contain one of these.
  std::vector<std::string> refuse_pending;
  // Publish fails for every pending file.
  bool refuse_publish = false;
  // Called before every operation with its name ("CreateFile", "Publish", ...) and path; a
  // MoveFile is announced as "MoveFile" with its source, then "MoveFileTarget" with its target.
  std::function<void(const char* operation, const std::string& path)> before;

  // Writes to created files so far.
  int writes() const { return writes_; }

  std::unique_ptr<platform::File> OpenExclusiveRead(const platform::Path& path) override;
  std::unique_ptr<platform::File> OpenSharedRead(const platform::Path& path) override;
  std::unique_ptr<platform::File> CreateFile(const platform::Path& path, platform::CreateMode mode,
                                             uint32_t attributes) override;
  bool Exists(const platform::Path& path) override;
  bool IsFolder(const platform::Path& path) override;
  bool DeleteFile(const platform::Path& path) override;
  bool CreateFolder(const platform::Path& path) override;
  bool RemoveFolder(const platform::Path& path) override;
  std::optional<std::vector<platform::FolderEntry>> ListFolder(const platform::Path& path) override;
  bool SetNormalAttributes(const platform::Path& path) override;
  bool MoveFile(const platform::Path& from, const platform::Path& to) override;
  std::unique_ptr<platform::PendingFile> CreatePendingFile(const platform::Path& folder) override;
  std::unique_ptr<platform::FileLock> LockExclusive(const platform::Path& path) override;
  platform::Path TempFolder() override;
  platform::Path CurrentFolder() override;
  platform::FileTime CurrentTime() override;
  int64_t LocalTimeOffsetSeconds() override;

 private:
  template <typename Base>
  class FaultyFile;
  class FaultyPendingFile;
  void Before(const char* operation, const std::string& path) const;
  // The faults in force for the file at `path` (UTF-8); `created` for a file the program created.
  bool ReadFails(const std::string& path, int64_t from, int64_t to) const;
  std::optional<uint64_t> CapacityFor(const std::string& path, bool created) const;
  bool CountsOnly(const std::string& path) const;

  Faults faults_;
  std::atomic<int> writes_{0};  // the program may write from two threads at once
  std::atomic<int> seeks_{0};
  platform::FileSystem& real_ = platform::SystemFs();
};

// A FaultyFileSystem in place of the real one for the lifetime of the object.
class ScopedFaults {
 public:
  explicit ScopedFaults(const CreatedFileFaults& created_file_faults = {})
      : faults(created_file_faults), scope_(faults) {}
  FaultyFileSystem faults;

 private:
  platform::ScopedFileSystem scope_;
};

}  // namespace vellomir::testing

#endif  // VELLOMIR_TESTS_SUPPORT_FAULTY_FILE_SYSTEM_H_
