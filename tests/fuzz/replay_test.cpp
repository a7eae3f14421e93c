// Replays every seed and every regression input of each fuzz target through the target's own
// body, so that what the fuzzers found stays fixed in an ordinary build, without clang.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

struct Target {
  const char* name;  // the folder name below seeds/ and regressions/
  int (*body)(const uint8_t* data, size_t size);
};

void PrintTo(const Target& target, std::ostream* out) {
  *out << target.name;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') files.push_back(folder + "/" + e->d_name);
    }
    ::closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {
 protected:
  static void SetUpTestSuite() {
    fuzz::SetFailureHandler([](const char* what) { throw std::runtime_error(what); });
  }
  static void TearDownTestSuite() { fuzz::RemoveScratchFolder(); }
  // Each target finds the scratch folder as a fuzzer run would: holding only its own files.
  void TearDown() override { fuzz::RemoveTreeContents(fuzz::ScratchFolder()); }
};

TEST_P(FuzzReplay, EverySeedAndRegressionInputKeepsTheTargetsPromises) {
  const std::string inputs = VELLOMIR_FUZZ_INPUTS;
  std::vector<std::string> files = FilesIn(inputs + "/seeds/" + GetParam().name);
  const std::vector<std::string> regressions = FilesIn(inputs + "/regressions/" + GetParam().name);
  files.insert(files.end(), regressions.begin(), regressions.end());
  ASSERT_FALSE(files.empty());
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const std::optional<std::string> bytes = testing::ReadFile(file);
    ASSERT_TRUE(bytes);
    try {
      GetParam().body(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size());
    } catch (const std::runtime_error& broken) {
      ADD_FAILURE() << broken.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values(Target{"zip_reader", fuzz::ZipReaderInput},
                                           Target{"salvage", fuzz::SalvageInput},
                                           Target{"round_trip", fuzz::RoundTripInput},
                                           Target{"part_completion", fuzz::PartCompletionInput}),
                         [](const ::testing::TestParamInfo<Target>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vellomir
