// Arbitrary bytes as the reader's archive: open, entry, extract, close. The output never runs past
// the entry's recorded size, and nothing is written but the target and the folders of a folder
// entry below the current folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "archive/archive.h"
#include "fuzz_support.h"
#include "platform/platform.h"

namespace {

// The reader makes the folders of a folder entry below the current folder: a folder of the
// scratch folder while an input runs. The process's own current folder is restored afterwards.
class InScratchFolder {
 public:
  InScratchFolder() : folder_(vellomir::fuzz::ScratchFolder() + "/cwd") {
    if (::getcwd(previous_, sizeof previous_) == nullptr) vellomir::fuzz::Fail("no current folder");
    ::mkdir(folder_.c_str(), 0700);
    if (::chdir(folder_.c_str()) != 0) vellomir::fuzz::Fail("cannot enter the scratch folder");
  }
  ~InScratchFolder() {
    vellomir::fuzz::RemoveTreeContents(folder_);
    if (::chdir(previous_) != 0) std::abort();
  }
  const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
  char previous_[4096];
};

}  // namespace

VELLOMIR_FUZZ_TARGET(ZipReaderInput) {
  using namespace vellomir;
  const InScratchFolder scratch;
  const std::string& cwd = scratch.folder();
  const std::string archive = fuzz::WriteInput("archive.zip", data, size);
  const platform::Path target = platform::FromNative(fuzz::ScratchFolder() + "/entry.out");
  ZipStatus status = ZipStatus::kOk;
  const fuzz::ChangesOnlyBelow guard({cwd, platform::ToNative(target)});
  if (auto reader = ZipReader::Open(platform::FromNative(archive), &status)) {
    ZipEntryInfo info;
    const ZipStatus entry = reader->GetEntry(&info);
    // A large entry is decoded all the same, only more slowly; keep the fuzzer fast.
    if (entry != ZipStatus::kOk || info.uncompressed_size <= (64u << 20)) {
      reader->ExtractEntry(target);
      if (entry == ZipStatus::kOk && reader->ExtractedSize() > info.uncompressed_size) {
        fuzz::Fail("output past the entry's size");
      }
    }
    reader->Close();
  }
  platform::Fs().SetNormalAttributes(target);
  platform::Fs().DeleteFile(target);
  guard.Check();
  if (!fuzz::WrittenOnlyBelow(fuzz::ScratchFolder(), {"archive.zip", "cwd", "entry.out"})) {
    fuzz::Fail("written outside the current folder and the target");
  }
  return 0;
}
