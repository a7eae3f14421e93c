#include "fuzz_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/platform.h"

namespace vellomir::fuzz {
namespace {

FailureHandler g_failure_handler = nullptr;

}  // namespace

void RemoveTreeContents(const std::string& folder) {
  ::chmod(folder.c_str(), 0700);
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  for (const std::string& name : names) RemoveTree(folder + "/" + name);
}

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    RemoveTreeContents(path);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

const std::string& ScratchFolder() {
  static const std::string folder = [] {
    const char* parent = std::getenv("VELLOMIR_FUZZ_TMP");
    std::string pattern =
        std::string(parent != nullptr ? parent : "/tmp") + "/vellomir-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp");
    ::setenv("TMPDIR", pattern.c_str(), 1);
    return pattern;
  }();
  return folder;
}

void RemoveScratchFolder() {
  RemoveTree(ScratchFolder());
}

std::string WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = ScratchFolder() + "/" + name;
  ::chmod(path.c_str(), 0600);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) Fail("cannot write the input");
  if (size > 0 && std::fwrite(data, 1, size, out) != size) Fail("cannot write the input");
  std::fclose(out);
  return path;
}

bool WrittenOnlyBelow(const std::string& root, const std::initializer_list<std::string>& allowed) {
  bool clean = true;
  std::function<void(const std::string&, const std::string&)> walk =
      [&](const std::string& dir, const std::string& relative) {
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) return;
        while (const dirent* e = ::readdir(d)) {
          const std::string name = e->d_name;
          if (name == "." || name == "..") continue;
          const std::string path = relative.empty() ? name : relative + "/" + name;
          bool permitted = false;
          for (const std::string& prefix : allowed) {
            permitted = permitted || path == prefix || path.rfind(prefix + "/", 0) == 0 ||
                        prefix.rfind(path + "/", 0) == 0;
          }
          if (!permitted) {
            std::fprintf(stderr, "written outside the workspace: %s\n", path.c_str());
            clean = false;
          }
          struct stat st {};
          if (::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            walk(dir + "/" + name, path);
          }
        }
        ::closedir(d);
      };
  walk(root, "");
  return clean;
}

// Forwards to the system's file system; every path a change names is checked first.
class ChangesOnlyBelow::Guard final : public platform::FileSystem {
 public:
  explicit Guard(std::vector<std::string> allowed) : allowed_(std::move(allowed)) {
    for (std::string& folder : allowed_) {
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    }
  }

  std::unique_ptr<platform::File> OpenExclusiveRead(const platform::Path& path) override {
    return real_.OpenExclusiveRead(path);
  }
  std::unique_ptr<platform::File> OpenSharedRead(const platform::Path& path) override {
    return real_.OpenSharedRead(path);
  }
  std::unique_ptr<platform::File> CreateFile(const platform::Path& path, platform::CreateMode mode,
                                             uint32_t attributes) override {
    if (!Allowed(path)) return nullptr;
    return real_.CreateFile(path, mode, attributes);
  }
  bool Exists(const platform::Path& path) override { return real_.Exists(path); }
  bool IsFolder(const platform::Path& path) override { return real_.IsFolder(path); }
  bool DeleteFile(const platform::Path& path) override {
    return Allowed(path) && real_.DeleteFile(path);
  }
  bool CreateFolder(const platform::Path& path) override {
    // Creating the folders above the allowed ones fails anyway (they exist); the salvage tries
    // them as it walks down a path.
    if (IsAbove(path)) return real_.CreateFolder(path);
    return Allowed(path) && real_.CreateFolder(path);
  }
  bool RemoveFolder(const platform::Path& path) override {
    return Allowed(path) && real_.RemoveFolder(path);
  }
  std::optional<std::vector<platform::FolderEntry>> ListFolder(
      const platform::Path& path) override {
    return real_.ListFolder(path);
  }
  bool SetNormalAttributes(const platform::Path& path) override {
    return Allowed(path) && real_.SetNormalAttributes(path);
  }
  bool MoveFile(const platform::Path& from, const platform::Path& to) override {
    return Allowed(from) && Allowed(to) && real_.MoveFile(from, to);
  }
  std::unique_ptr<platform::PendingFile> CreatePendingFile(const platform::Path& folder) override {
    if (!Allowed(folder)) return nullptr;
    return real_.CreatePendingFile(folder);
  }
  std::unique_ptr<platform::FileLock> LockExclusive(const platform::Path& path) override {
    if (!Allowed(path)) return nullptr;
    return real_.LockExclusive(path);
  }
  platform::Path TempFolder() override { return real_.TempFolder(); }
  platform::Path CurrentFolder() override { return real_.CurrentFolder(); }
  platform::FileTime CurrentTime() override { return real_.CurrentTime(); }
  int64_t LocalTimeOffsetSeconds() override { return real_.LocalTimeOffsetSeconds(); }

  const std::string& first_violation() const { return first_violation_; }

 private:
  // Below an allowed folder, with every component plainly named.
  bool Allowed(const platform::Path& path) {
    const std::string native = platform::ToNative(path);
    for (const std::string& folder : allowed_) {
      if (native.compare(0, folder.size(), folder) != 0) continue;
      if (native.size() > folder.size() && native[folder.size()] != '/') continue;
      if (NeverClimbs(std::string_view(native).substr(folder.size()))) return true;
    }
    if (first_violation_.empty()) first_violation_ = native;
    return false;
  }

  // A folder on the way to an allowed one.
  bool IsAbove(const platform::Path& path) const {
    const std::string native = platform::ToNative(path) + "/";
    for (const std::string& folder : allowed_) {
      if (folder.compare(0, native.size(), native) == 0 && NeverClimbs(native)) return true;
    }
    return false;
  }

  // Read component by component after the first separator, the path never climbs above where it
  // starts: a ".." that follows a folder name only leads back into it.
  static bool NeverClimbs(std::string_view rest) {
    if (!rest.empty() && rest[0] != '/') return false;
    int64_t depth = 0;
    size_t start = 0;
    while (start < rest.size()) {
      const size_t end = std::min(rest.find('/', start + 1), rest.size());
      const std::string_view component = rest.substr(start + 1, end - start - 1);
      if (component == "..") {
        if (--depth < 0) return false;
      } else if (!component.empty() && component != ".") {
        ++depth;
      }
      start = end;
    }
    return true;
  }

  std::vector<std::string> allowed_;
  std::string first_violation_;
  platform::FileSystem& real_ = platform::SystemFs();
};

ChangesOnlyBelow::ChangesOnlyBelow(std::initializer_list<std::string> allowed_folders)
    : guard_(std::make_unique<Guard>(std::vector<std::string>(allowed_folders))),
      scope_(std::make_unique<platform::ScopedFileSystem>(*guard_)) {}

ChangesOnlyBelow::~ChangesOnlyBelow() = default;

void ChangesOnlyBelow::Check() const {
  if (!guard_->first_violation().empty()) {
    std::fprintf(stderr, "changed outside the allowed folders: %s\n",
                 guard_->first_violation().c_str());
    Fail("a change outside the allowed folders");
  }
}

void SetFailureHandler(FailureHandler handler) {
  g_failure_handler = handler;
}

void Fail(const char* what) {
  if (g_failure_handler != nullptr) g_failure_handler(what);
  std::fprintf(stderr, "fuzz target failed: %s\n", what);
  std::abort();
}

}  // namespace vellomir::fuzz
