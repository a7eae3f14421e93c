#include "support/faulty_file_system.h"

#include <algorithm>

#include "support/test_support.h"

namespace vellomir::testing {
namespace {

bool Matches(const std::string& path, const std::string& part) {
  return !part.empty() && path.find(part) != std::string::npos;
}

}  // namespace

// Forwards every call to the real file and fails reads, writes and repositionings where told to.
template <typename Base>
class FaultyFileSystem::FaultyFile : public Base {
 public:
  FaultyFile(std::unique_ptr<Base> real, FaultyFileSystem& owner, FileFaults faults)
      : real_(std::move(real)), owner_(owner), faults_(faults) {}

  bool Seek(int64_t offset) override {
    if (faults_.counted && owner_.faults_.failing_seek == owner_.seeks_++) return false;
    if (!real_->Seek(offset)) return false;
    position_ = offset;
    return true;
  }
  int64_t Read(void* buffer, size_t size) override {
    if (faults_.read_from && position_ + static_cast<int64_t>(size) > *faults_.read_from &&
        position_ < real_->Size()) {
      return -1;
    }
    const int64_t n = real_->Read(buffer, size);
    if (n > 0) position_ += n;
    return n;
  }
  bool Write(const void* buffer, size_t size) override {
    if (faults_.counted && owner_.faults_.failing_write == owner_.writes_++) return false;
    if (faults_.capacity && static_cast<uint64_t>(position_) + size > *faults_.capacity) {
      // A full disk takes what fits, then refuses the rest.
      const uint64_t at = static_cast<uint64_t>(position_);
      const size_t fits = at < *faults_.capacity ? static_cast<size_t>(*faults_.capacity - at) : 0;
      if (fits > 0 && real_->Write(buffer, fits)) position_ += static_cast<int64_t>(fits);
      return false;
    }
    if (!real_->Write(buffer, size)) return false;
    position_ += static_cast<int64_t>(size);
    return true;
  }
  int64_t Size() override { return real_->Size(); }
  bool IsDiskFile() override { return real_->IsDiskFile(); }
  std::optional<platform::FileInfo> Info() override { return real_->Info(); }
  bool SetTimes(const platform::FileTimes& times) override { return real_->SetTimes(times); }
  bool Sync() override { return real_->Sync(); }

 protected:
  std::unique_ptr<Base> real_;
  FaultyFileSystem& owner_;
  FileFaults faults_;
  int64_t position_ = 0;
};

class FaultyFileSystem::FaultyPendingFile final : public FaultyFile<platform::PendingFile> {
 public:
  using FaultyFile::FaultyFile;
  bool Publish(const platform::Path& path) override {
    owner_.Before("Publish", U8(path));
    return !owner_.refuse_publish && real_->Publish(path);
  }
};

void FaultyFileSystem::Before(const char* operation, const std::string& path) const {
  if (before) before(operation, path);
}

FaultyFileSystem::FileFaults FaultyFileSystem::FaultsFor(const std::string& path,
                                                         bool created) const {
  FileFaults file_faults;
  file_faults.counted = created;
  if (created) file_faults.capacity = faults_.capacity;
  for (const ReadFault& fault : read_faults) {
    if (Matches(path, fault.path_part)) file_faults.read_from = fault.from_offset;
  }
  for (const SizeFault& fault : size_faults) {
    if (Matches(path, fault.path_part)) {
      file_faults.capacity =
          std::min(file_faults.capacity.value_or(fault.capacity), fault.capacity);
    }
  }
  return file_faults;
}

std::unique_ptr<platform::File> FaultyFileSystem::OpenExclusiveRead(const platform::Path& path) {
  const std::string utf8 = U8(path);
  Before("OpenExclusiveRead", utf8);
  std::unique_ptr<platform::File> real = real_.OpenExclusiveRead(path);
  if (!real) return nullptr;
  return std::make_unique<FaultyFile<platform::File>>(std::move(real), *this,
                                                      FaultsFor(utf8, false));
}

std::unique_ptr<platform::File> FaultyFileSystem::OpenSharedRead(const platform::Path& path) {
  const std::string utf8 = U8(path);
  Before("OpenSharedRead", utf8);
  std::unique_ptr<platform::File> real = real_.OpenSharedRead(path);
  if (!real) return nullptr;
  return std::make_unique<FaultyFile<platform::File>>(std::move(real), *this,
                                                      FaultsFor(utf8, false));
}

std::unique_ptr<platform::File> FaultyFileSystem::CreateFile(const platform::Path& path,
                                                             platform::CreateMode mode,
                                                             uint32_t attributes) {
  const std::string utf8 = U8(path);
  Before("CreateFile", utf8);
  for (const std::string& part : refuse_create) {
    if (Matches(utf8, part)) return nullptr;
  }
  std::unique_ptr<platform::File> real = real_.CreateFile(path, mode, attributes);
  if (!real) return nullptr;
  return std::make_unique<FaultyFile<platform::File>>(std::move(real), *this,
                                                      FaultsFor(utf8, true));
}

std::unique_ptr<platform::PendingFile> FaultyFileSystem::CreatePendingFile(
    const platform::Path& folder) {
  const std::string utf8 = U8(folder);
  Before("CreatePendingFile", utf8);
  for (const std::string& part : refuse_pending) {
    if (Matches(utf8, part)) return nullptr;
  }
  std::unique_ptr<platform::PendingFile> real = real_.CreatePendingFile(folder);
  if (!real) return nullptr;
  return std::make_unique<FaultyPendingFile>(std::move(real), *this, FaultsFor(utf8, true));
}

bool FaultyFileSystem::Exists(const platform::Path& path) {
  Before("Exists", U8(path));
  return real_.Exists(path);
}

bool FaultyFileSystem::IsFolder(const platform::Path& path) {
  Before("IsFolder", U8(path));
  return real_.IsFolder(path);
}

bool FaultyFileSystem::DeleteFile(const platform::Path& path) {
  Before("DeleteFile", U8(path));
  return real_.DeleteFile(path);
}

bool FaultyFileSystem::CreateFolder(const platform::Path& path) {
  Before("CreateFolder", U8(path));
  return real_.CreateFolder(path);
}

bool FaultyFileSystem::RemoveFolder(const platform::Path& path) {
  Before("RemoveFolder", U8(path));
  return real_.RemoveFolder(path);
}

std::optional<std::vector<platform::FolderEntry>> FaultyFileSystem::ListFolder(
    const platform::Path& path) {
  Before("ListFolder", U8(path));
  return real_.ListFolder(path);
}

bool FaultyFileSystem::SetNormalAttributes(const platform::Path& path) {
  Before("SetNormalAttributes", U8(path));
  return real_.SetNormalAttributes(path);
}

bool FaultyFileSystem::MoveFile(const platform::Path& from, const platform::Path& to) {
  Before("MoveFile", U8(from));
  return real_.MoveFile(from, to);
}

std::unique_ptr<platform::FileLock> FaultyFileSystem::LockExclusive(const platform::Path& path) {
  Before("LockExclusive", U8(path));
  return real_.LockExclusive(path);
}

platform::Path FaultyFileSystem::TempFolder() {
  Before("TempFolder", "");
  return real_.TempFolder();
}

platform::Path FaultyFileSystem::CurrentFolder() {
  return real_.CurrentFolder();
}
platform::FileTime FaultyFileSystem::CurrentTime() {
  return real_.CurrentTime();
}
int64_t FaultyFileSystem::LocalTimeOffsetSeconds() {
  return real_.LocalTimeOffsetSeconds();
}

}  // namespace vellomir::testing
