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
  FaultyFile(std::unique_ptr<Base> real, FaultyFileSystem& owner, std::string path, bool created)
      : real_(std::move(real)),
        owner_(owner),
        path_(std::move(path)),
        created_(created),
        count_only_(created && owner.CountsOnly(path_)) {}

  bool Seek(int64_t offset) override {
    if (created_ && owner_.faults_.failing_seek == owner_.seeks_++) return false;
    if (!count_only_ && !real_->Seek(offset)) return false;
    if (count_only_ && offset < 0) return false;
    position_ = offset;
    return true;
  }
  int64_t Read(void* buffer, size_t size) override {
    const int64_t end = std::min(position_ + static_cast<int64_t>(size), real_->Size());
    if (position_ < end && owner_.ReadFails(path_, position_, end)) return -1;
    if (count_only_) return 0;
    const int64_t n = real_->Read(buffer, size);
    if (n > 0) position_ += n;
    return n;
  }
  bool Write(const void* buffer, size_t size) override {
    if (created_ && owner_.faults_.failing_write == owner_.writes_++) return false;
    const std::optional<uint64_t> capacity = owner_.CapacityFor(path_, created_);
    if (capacity && static_cast<uint64_t>(position_) + size > *capacity) {
      // A full disk takes what fits, then refuses the rest.
      const uint64_t at = static_cast<uint64_t>(position_);
      const size_t fits = at < *capacity ? static_cast<size_t>(*capacity - at) : 0;
      if (fits > 0 && WriteThrough(buffer, fits)) position_ += static_cast<int64_t>(fits);
      return false;
    }
    if (!WriteThrough(buffer, size)) return false;
    position_ += static_cast<int64_t>(size);
    return true;
  }
  int64_t Size() override {
    if (count_only_) return counted_size_;
    return real_->Size();
  }
  bool IsDiskFile() override { return real_->IsDiskFile(); }
  std::optional<platform::FileInfo> Info() override {
    std::optional<platform::FileInfo> info = real_->Info();
    if (info && count_only_) info->size = static_cast<uint64_t>(counted_size_);
    return info;
  }
  bool SetTimes(const platform::FileTimes& times) override { return real_->SetTimes(times); }
  bool Sync() override { return real_->Sync(); }

 protected:
  bool WriteThrough(const void* buffer, size_t size) {
    if (!count_only_) return real_->Write(buffer, size);
    counted_size_ = std::max(counted_size_, position_ + static_cast<int64_t>(size));
    return true;
  }

  std::unique_ptr<Base> real_;
  FaultyFileSystem& owner_;
  std::string path_;
  bool created_;
  bool count_only_;
  int64_t position_ = 0;
  int64_t counted_size_ = 0;
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

bool FaultyFileSystem::ReadFails(const std::string& path, int64_t from, int64_t to) const {
  return std::any_of(read_faults.begin(), read_faults.end(), [&](const ReadFault& fault) {
    return Matches(path, fault.path_part) && to > fault.from_offset &&
           (!fault.to_offset || from < *fault.to_offset);
  });
}

std::optional<uint64_t> FaultyFileSystem::CapacityFor(const std::string& path, bool created) const {
  std::optional<uint64_t> capacity;
  if (created) capacity = faults_.capacity;
  for (const SizeFault& fault : size_faults) {
    if (Matches(path, fault.path_part)) {
      capacity = std::min(capacity.value_or(fault.capacity), fault.capacity);
    }
  }
  return capacity;
}

bool FaultyFileSystem::CountsOnly(const std::string& path) const {
  return std::any_of(count_only.begin(), count_only.end(),
                     [&](const std::string& part) { return Matches(path, part); });
}

std::unique_ptr<platform::File> FaultyFileSystem::OpenExclusiveRead(const platform::Path& path) {
  const std::string utf8 = U8(path);
  Before("OpenExclusiveRead", utf8);
  std::unique_ptr<platform::File> real = real_.OpenExclusiveRead(path);
  if (!real) return nullptr;
  return std::make_unique<FaultyFile<platform::File>>(std::move(real), *this, utf8, false);
}

std::unique_ptr<platform::File> FaultyFileSystem::OpenSharedRead(const platform::Path& path) {
  const std::string utf8 = U8(path);
  Before("OpenSharedRead", utf8);
  std::unique_ptr<platform::File> real = real_.OpenSharedRead(path);
  if (!real) return nullptr;
  return std::make_unique<FaultyFile<platform::File>>(std::move(real), *this, utf8, false);
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
  return std::make_unique<FaultyFile<platform::File>>(std::move(real), *this, utf8, true);
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
  return std::make_unique<FaultyPendingFile>(std::move(real), *this, utf8, true);
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
  Before("MoveFileTarget", U8(to));
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
