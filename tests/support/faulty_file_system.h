// A file system for tests that forwards to the real one and fails on cue: reads of one file at a
// given offset (a bad sector), writes after a number of bytes (a full disk), the creation of
// certain files, the naming of pending files.
#ifndef VELLOMIR_TESTS_SUPPORT_FAULTY_FILE_SYSTEM_H_
#define VELLOMIR_TESTS_SUPPORT_FAULTY_FILE_SYSTEM_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vellomir::testing {

class FaultyFileSystem : public platform::FileSystem {
 public:
  // Which files a fault applies to: every path that contains `path_part` (UTF-8).
  struct ReadFault {
    std::string path_part;
    int64_t from_offset = 0;  // reads that reach this offset fail
  };
  struct WriteFault {
    std::string path_part;
    uint64_t after_bytes = 0;  // a write that would pass this many bytes in one file fails
  };

  std::vector<ReadFault> read_faults;
  std::vector<WriteFault> write_faults;
  // CreateFile fails for paths that contain one of these.
  std::vector<std::string> refuse_create;
  // CreatePendingFile fails for folders that contain one of these; Publish fails always when set.
  std::vector<std::string> refuse_pending;
  bool refuse_publish = false;
  // Called before every operation with its name and path, e.g. to change the world in between.
  std::function<void(const char* operation, const std::string& path)> before;

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
  platform::Path TempFolder() override;
  platform::Path CurrentFolder() override;
  platform::FileTime CurrentTime() override;
  int64_t LocalTimeOffsetSeconds() override;

  // Wraps a file of the real file system with the faults that apply to `path`.
  std::unique_ptr<platform::File> Wrap(std::unique_ptr<platform::File> file,
                                       const std::string& path);

 private:
  void Before(const char* operation, const platform::Path& path);
  std::optional<int64_t> ReadFaultFor(const std::string& path) const;
  std::optional<uint64_t> WriteFaultFor(const std::string& path) const;
  platform::FileSystem& real_ = platform::SystemFs();
};

// Puts a FaultyFileSystem in place of the real one for the lifetime of the object.
class ScopedFaults {
 public:
  ScopedFaults() : scope_(faults) {}
  FaultyFileSystem faults;

 private:
  platform::ScopedFileSystem scope_;
};

}  // namespace vellomir::testing

#endif  // VELLOMIR_TESTS_SUPPORT_FAULTY_FILE_SYSTEM_H_
