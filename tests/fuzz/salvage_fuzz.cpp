// Arbitrary bytes as a source document: the whole salvage into the private workspace, which
// nothing may leave.
#include <unistd.h>

#include <cstdint>

#include "engine/workspace.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "salvage/salvage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vellomir;
  const std::string source_path = fuzz::WriteInput("source.ods", data, size);
  const RepairWorkspace workspace = RepairWorkspace::Current();
  if (!workspace.valid()) fuzz::Fail("no workspace");
  {
    auto source = platform::Fs().OpenExclusiveRead(platform::FromNative(source_path));
    if (!source) fuzz::Fail("cannot open the source");
    std::vector<int64_t> headers, descriptors;
    std::vector<MemberRecord> members;
    ExtractMembers(*source, workspace, &headers, &descriptors, &members);
    if (members.size() != headers.size()) fuzz::Fail("a header without its record");
  }
  const std::string private_folder = "vellomir-" + std::to_string(::geteuid());
  if (!fuzz::OnlyBelow(fuzz::ScratchFolder(), {"source.ods", private_folder + "/TempDirZanth",
                                               private_folder + "/temp12temp.zip"})) {
    fuzz::Fail("a file outside the workspace");
  }
  ResetWorkspace();
  return 0;
}
