#include "support/faulty_file_system.h"

#include "support/test_support.h"

namespace vellomir::testing {
namespace {

bool Matches(const std::string& path, const std::string& part) {
  return !part.empty() && path.find(part) != std::string::npos;
}

// Forwards every call to the real file and fails reads and writes where told to.
template <typename Base>
class FaultyFile : public Base {
 public:
  FaultyFile(std::unique_ptr<Base> real, std::optional<int64_t> read_fault,
             std::optional<uint64_t> write_fault, bool refuse_publish = false)
      : real_(std::move(real)),
        read_fault_(read_fault),
        write_fault_(write_fault),
        refuse_publish_(refuse_publish) {}

  bool Seek(int64_t offset) override {
    if (!real_->Seek(offset)) return false;
    position_ = offset;
    return true;
  }
  int64_t Read(void* buffer, size_t size) override {
    if (read_fault_ && position_ + static_cast<int64_t>(size) > *read_fault_ &&
        position_ < real_->Size()) {
      return -1;
    }
    const int64_t n = real_->Read(buffer, size);
    if (n > 0) position_ += n;
    return n;
  }
  bool Write(const void* buffer, size_t size) override {
    if (write_fault_ && written_ + size > *write_fault_) {
      // A full disk takes what fits, then refuses.
      const size_t fits = static_cast<size_t>(*write_fault_ - written_);
      if (fits > 0 && real_->Write(buffer, fits)) written_ += fits;
      return false;
    }
    if (!real_->Write(buffer, size)) return false;
    written_ += size;
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
  std::optional<int64_t> read_fault_;
  std::optional<uint64_t> write_fault_;
  bool refuse_publish_;
  int64_t position_ = 0;
  uint64_t written_ = 0;
};

class FaultyPendingFile final : public FaultyFile<platform::PendingFile> {
 public:
  FaultyPendingFile(std::unique_ptr<platform::PendingFile> real, std::optional<int64_t> read_fault,
                    std::optional<uint64_t> write_fault, bool refuse_publish,
                    const std::function<void(const char*, const std::string&)>& before)
      : FaultyFile(std::move(real), read_fault, write_fault, refuse_publish), before_(before) {}
  bool Publish(const platform::Path& path) override {
    if (before_) before_("Publish", U8(path));
    return !refuse_publish_ && real_->Publish(path);
  }

 private:
  const std::function<void(const char*, const std::string&)>& before_;
};

}  // namespace

void FaultyFileSystem::Before(const char* operation, const platform::Path& path) {
  if (before) before(operation, U8(path));
}

std::optional<int64_t> FaultyFileSystem::ReadFaultFor(const std::string& path) const {
  for (const ReadFault& fault : read_faults) {
    if (Matches(path, fault.path_part)) return fault.from_offset;
  }
  return std::nullopt;
}

std::optional<uint64_t> FaultyFileSystem::WriteFaultFor(const std::string& path) const {
  for (const WriteFault& fault : write_faults) {
    if (Matches(path, fault.path_part)) return fault.after_bytes;
  }
  return std::nullopt;
}

std::unique_ptr<platform::File> FaultyFileSystem::Wrap(std::unique_ptr<platform::File> file,
                                                       const std::string& path) {
  if (!file) return nullptr;
  return std::make_unique<FaultyFile<platform::File>>(std::move(file), ReadFaultFor(path),
                                                      WriteFaultFor(path));
}

std::unique_ptr<platform::File> FaultyFileSystem::OpenExclusiveRead(const platform::Path& path) {
  Before("OpenExclusiveRead", path);
  return Wrap(real_.OpenExclusiveRead(path), U8(path));
}

std::unique_ptr<platform::File> FaultyFileSystem::OpenSharedRead(const platform::Path& path) {
  Before("OpenSharedRead", path);
  return Wrap(real_.OpenSharedRead(path), U8(path));
}

std::unique_ptr<platform::File> FaultyFileSystem::CreateFile(const platform::Path& path,
                                                             platform::CreateMode mode,
                                                             uint32_t attributes) {
  Before("CreateFile", path);
  const std::string utf8 = U8(path);
  for (const std::string& part : refuse_create) {
    if (Matches(utf8, part)) return nullptr;
  }
  return Wrap(real_.CreateFile(path, mode, attributes), utf8);
}

bool FaultyFileSystem::Exists(const platform::Path& path) {
  Before("Exists", path);
  return real_.Exists(path);
}

bool FaultyFileSystem::IsFolder(const platform::Path& path) {
  Before("IsFolder", path);
  return real_.IsFolder(path);
}

bool FaultyFileSystem::DeleteFile(const platform::Path& path) {
  Before("DeleteFile", path);
  return real_.DeleteFile(path);
}

bool FaultyFileSystem::CreateFolder(const platform::Path& path) {
  Before("CreateFolder", path);
  return real_.CreateFolder(path);
}

bool FaultyFileSystem::RemoveFolder(const platform::Path& path) {
  Before("RemoveFolder", path);
  return real_.RemoveFolder(path);
}

std::optional<std::vector<platform::FolderEntry>> FaultyFileSystem::ListFolder(
    const platform::Path& path) {
  Before("ListFolder", path);
  return real_.ListFolder(path);
}

bool FaultyFileSystem::SetNormalAttributes(const platform::Path& path) {
  Before("SetNormalAttributes", path);
  return real_.SetNormalAttributes(path);
}

bool FaultyFileSystem::MoveFile(const platform::Path& from, const platform::Path& to) {
  Before("MoveFile", from);
  return real_.MoveFile(from, to);
}

std::unique_ptr<platform::PendingFile> FaultyFileSystem::CreatePendingFile(
    const platform::Path& folder) {
  Before("CreatePendingFile", folder);
  const std::string utf8 = U8(folder);
  for (const std::string& part : refuse_pending) {
    if (Matches(utf8, part)) return nullptr;
  }
  std::unique_ptr<platform::PendingFile> real = real_.CreatePendingFile(folder);
  if (!real) return nullptr;
  return std::make_unique<FaultyPendingFile>(std::move(real), ReadFaultFor(utf8),
                                             WriteFaultFor(utf8), refuse_publish, before);
}

platform::Path FaultyFileSystem::TempFolder() {
  Before("TempFolder", u"");
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
