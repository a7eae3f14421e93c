// The process-wide choice of file system and the read helpers shared by every implementation.
#include <atomic>

#include "platform/platform.h"

namespace vellomir::platform {
namespace {

std::atomic<FileSystem*> g_replacement{nullptr};

}  // namespace

FileSystem& Fs() {
  FileSystem* replacement = g_replacement.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : SystemFs();
}

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement)
    : previous_(g_replacement.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedFileSystem::~ScopedFileSystem() {
  g_replacement.store(previous_, std::memory_order_release);
}

int64_t File::ReadAt(int64_t offset, void* buffer, size_t size) {
  if (!Seek(offset)) return -1;
  return Read(buffer, size);
}

int64_t ReadAt(File& file, int64_t offset, void* buffer, size_t size) {
  return file.ReadAt(offset, buffer, size);
}

bool ReadExactAt(File& file, int64_t offset, void* buffer, size_t size) {
  return ReadAt(file, offset, buffer, size) == static_cast<int64_t>(size);
}

}  // namespace vellomir::platform
