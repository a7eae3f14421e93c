// Arbitrary bytes as a source document: salvage it, pack the workspace, then salvage the packed
// result again. Every file the writer packed must come back byte for byte: what the writer
// writes, the reader reads.
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>

#include "archive/archive.h"
#include "engine/workspace.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "salvage/salvage.h"

namespace {

using namespace vellomir;

std::map<std::string, std::string> FilesBelow(const platform::Path& folder,
                                              const std::string& relative = "") {
  std::map<std::string, std::string> files;
  const auto entries = platform::Fs().ListFolder(folder);
  if (!entries) return files;
  for (const platform::FolderEntry& entry : *entries) {
    const std::string name = relative + platform::ToNative(entry.name);
    const platform::Path path = folder + platform::kSeparator + entry.name;
    if (entry.is_folder) {
      files.merge(FilesBelow(path, name + "/"));
    } else {
      std::ifstream in(platform::ToNative(path), std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      files[name] = content.str();
    }
  }
  return files;
}

void Salvage(const platform::Path& source_path, const RepairWorkspace& workspace) {
  auto source = platform::Fs().OpenExclusiveRead(source_path);
  if (!source) fuzz::Fail("cannot open a source");
  ExtractMembers(*source, workspace, nullptr, nullptr, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string source_path = fuzz::WriteInput("source.ods", data, size);
  const RepairWorkspace workspace = RepairWorkspace::Current();
  if (!workspace.valid()) fuzz::Fail("no workspace");
  ResetWorkspace();
  Salvage(platform::FromNative(source_path), workspace);
  const std::map<std::string, std::string> salvaged = FilesBelow(workspace.folder);
  bool representable = true;
  for (const auto& [name, content] : salvaged) {
    representable = representable && name.size() <= 259 && content.size() < (1u << 30);
  }

  PackFolder(workspace.folder, workspace.packed_result);
  if (!platform::Fs().Exists(workspace.packed_result)) fuzz::Fail("the packer wrote nothing");
  CDirectoryManager::DeleteFolderTree(workspace.folder);
  Salvage(workspace.packed_result, workspace);
  const std::map<std::string, std::string> unpacked = FilesBelow(workspace.folder);

  for (const auto& [name, content] : unpacked) {
    const auto it = salvaged.find(name);
    if (it == salvaged.end()) fuzz::Fail("a member the workspace did not have");
    if (it->second != content) fuzz::Fail("a member came back with other bytes");
  }
  if (representable && unpacked.size() != salvaged.size()) fuzz::Fail("a member was lost");
  ResetWorkspace();
  return 0;
}
