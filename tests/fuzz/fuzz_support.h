// Shared by the fuzz targets: a private temporary folder for the whole process, the input written
// to a file in it, and the way a target reports a broken promise.
//
// Each target's body is a function of this namespace, defined with VELLOMIR_FUZZ_TARGET. The fuzz
// build gives each body libFuzzer's entry point; the replay test (built with VELLOMIR_FUZZ_REPLAY)
// links every body into one GoogleTest program and feeds it the seeds and regression inputs, so
// the faults the fuzzers found stay fixed in an ordinary build.
#ifndef VELLOMIR_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define VELLOMIR_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace vellomir::fuzz {

// The targets' bodies. Each returns 0 and stops through Fail when a promise is broken.
int ZipReaderInput(const uint8_t* data, size_t size);
int SalvageInput(const uint8_t* data, size_t size);
int RoundTripInput(const uint8_t* data, size_t size);
int PartCompletionInput(const uint8_t* data, size_t size);

// A folder of this process's own below the system's temporary folder, made once. TMPDIR points
// into it, so the program's private workspace lies there too.
const std::string& ScratchFolder();
// Removes the scratch folder with everything in it (the replay test does this at its end).
void RemoveScratchFolder();
// Removes a file or a whole folder tree, read-only parts included.
void RemoveTree(const std::string& path);
// Removes everything inside a folder and keeps the folder.
void RemoveTreeContents(const std::string& folder);
// Writes the input to ScratchFolder()/name and returns its path.
std::string WriteInput(const std::string& name, const uint8_t* data, size_t size);
// True when every file and folder below `root` lies at or below one of the `allowed` paths
// (relative to `root`) or on the way to one; prints each one that does not.
bool WrittenOnlyBelow(const std::string& root, const std::initializer_list<std::string>& allowed);

// Puts itself in place of the program's file system while it lives and forwards every call to
// the system's. Every change it is asked to make (create, delete, rename, change attributes) must
// name a path inside one of the allowed folders whose ".." components never lead above it, so
// that a member name that would climb out is caught however deep it would climb and even where
// the system would have refused it.
class ChangesOnlyBelow {
 public:
  explicit ChangesOnlyBelow(std::initializer_list<std::string> allowed_folders);
  ~ChangesOnlyBelow();
  ChangesOnlyBelow(const ChangesOnlyBelow&) = delete;
  ChangesOnlyBelow& operator=(const ChangesOnlyBelow&) = delete;
  // Stops through Fail when a change was asked for elsewhere, naming the first one.
  void Check() const;

 private:
  class Guard;
  std::unique_ptr<Guard> guard_;
  std::unique_ptr<platform::ScopedFileSystem> scope_;
};

// Called instead of stopping the process (the replay test throws from it, so that one input's
// failure is reported and the next input still runs).
using FailureHandler = void (*)(const char* what);
void SetFailureHandler(FailureHandler handler);
// Reports a broken promise: the handler when one is set, else the process stops so that the
// fuzzer keeps the input.
[[noreturn]] void Fail(const char* what);

}  // namespace vellomir::fuzz

#ifdef VELLOMIR_FUZZ_REPLAY
#define VELLOMIR_FUZZ_TARGET(body) int vellomir::fuzz::body(const uint8_t* data, size_t size)
#else
#define VELLOMIR_FUZZ_TARGET(body)                                          \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    return vellomir::fuzz::body(data, size);                                \
  }                                                                         \
  int vellomir::fuzz::body(const uint8_t* data, size_t size)
#endif

#endif  // VELLOMIR_TESTS_FUZZ_FUZZ_SUPPORT_H_
