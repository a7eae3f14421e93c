// Arbitrary bytes as the reader's archive: open, entry, extract, close.
#include <cstdint>

#include "archive/archive.h"
#include "fuzz_support.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomir;
  const std::string archive = fuzz::WriteInput("archive.zip", data, size);
  const platform::Path target = platform::FromNative(fuzz::ScratchFolder() + "/entry.out");
  ZipStatus status = ZipStatus::kOk;
  if (auto reader = ZipReader::Open(platform::FromNative(archive), &status)) {
    ZipEntryInfo info;
    if (reader->GetEntry(&info) == ZipStatus::kOk && info.uncompressed_size > (64u << 20)) {
      // A large entry is decoded all the same, only more slowly; keep the fuzzer fast.
      reader->Close();
      return 0;
    }
    reader->ExtractEntry(target);
    if (reader->ExtractedSize() > info.uncompressed_size)
      fuzz::Fail("output past the entry's size");
    reader->Close();
  }
  platform::Fs().SetNormalAttributes(target);
  platform::Fs().DeleteFile(target);
  return 0;
}
