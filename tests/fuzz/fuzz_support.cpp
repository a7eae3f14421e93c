#include "fuzz_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace vellomir::fuzz {

const std::string& ScratchFolder() {
  static const std::string folder = [] {
    const char* base = std::getenv("VELLOMIR_FUZZ_TMP");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vellomir-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp");
    ::setenv("TMPDIR", pattern.c_str(), 1);
    return pattern;
  }();
  return folder;
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

bool OnlyBelow(const std::string& root, const std::initializer_list<std::string>& allowed) {
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

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz target failed: %s\n", what);
  std::abort();
}

}  // namespace vellomir::fuzz
