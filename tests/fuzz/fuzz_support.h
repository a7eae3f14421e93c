// Shared by the fuzz targets: a private temporary folder for the whole process, and the input
// written to a file in it.
#ifndef VELLOMIR_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define VELLOMIR_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace vellomir::fuzz {

// A folder of this process's own below the system's temporary folder, made once; TMPDIR points
// into it, so the program's private workspace lies there too.
const std::string& ScratchFolder();
// Writes the input to ScratchFolder()/name and returns its path.
std::string WriteInput(const std::string& name, const uint8_t* data, size_t size);
// Every file and folder below ScratchFolder(), relative, except those below `allowed` prefixes.
bool OnlyBelow(const std::string& root, const std::initializer_list<std::string>& allowed);
// Stops the process so that the fuzzer reports the input.
[[noreturn]] void Fail(const char* what);

}  // namespace vellomir::fuzz

#endif  // VELLOMIR_TESTS_FUZZ_FUZZ_SUPPORT_H_
