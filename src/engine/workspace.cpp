// The workspace paths and the folder operations that clear and fill it.
#include "engine/workspace.h"

namespace vellomir {
namespace {

using platform::Fs;
using platform::Path;

Path WithoutTrailingSeparator(Path path) {
  while (path.size() > 1 && path.back() == platform::kSeparator) path.pop_back();
  return path;
}

}  // namespace

Path GetTempFolder() {
  return Fs().TempFolder();
}

RepairWorkspace RepairWorkspace::Below(const Path& temp_folder) {
  RepairWorkspace workspace;
  if (temp_folder.empty()) return workspace;
  workspace.temp_folder = temp_folder;
  if (workspace.temp_folder.back() != platform::kSeparator) {
    workspace.temp_folder.push_back(platform::kSeparator);
  }
  workspace.folder = workspace.temp_folder + u"TempDirZanth" + platform::kSeparator;
  workspace.scratch_archive = workspace.temp_folder + u"temp12temp.zip";
  workspace.packed_result = workspace.temp_folder + u"temp12swe.ods";
  return workspace;
}

RepairWorkspace RepairWorkspace::Current() {
  return Below(GetTempFolder());
}

WorkspaceLock::WorkspaceLock() {
  const Path temp_folder = GetTempFolder();
  if (!temp_folder.empty()) lock_ = Fs().LockExclusive(temp_folder + u"workspace.lock");
}

void ResetWorkspace() {
  const RepairWorkspace workspace = RepairWorkspace::Current();
  if (!workspace.valid()) return;
  CDirectoryManager::DeleteFolderTree(workspace.folder);
  Fs().DeleteFile(workspace.packed_result);
  Fs().DeleteFile(workspace.scratch_archive);
}

bool CDirectoryManager::DeleteFolderTree(const Path& folder) {
  if (folder.empty()) return false;
  const Path root = WithoutTrailingSeparator(folder);
  // A folder without write permission keeps its entries even for their owner; open it first.
  // A link in the folder's place is not a folder: it is left alone here, and its parent's walk
  // removes the link itself.
  if (!Fs().IsFolder(root)) return false;
  Fs().SetNormalAttributes(root);
  if (const auto entries = Fs().ListFolder(root)) {
    for (const platform::FolderEntry& entry : *entries) {
      const Path path = root + platform::kSeparator + entry.name;
      if (entry.is_folder) {
        DeleteFolderTree(path);
      } else if (Fs().Exists(path)) {
        Fs().SetNormalAttributes(path);
        Fs().DeleteFile(path);
      }
    }
  }
  return Fs().RemoveFolder(root);
}

bool CDirectoryManager::CreateFolderPath(const Path& folder) {
  if (folder.empty() || folder.find(platform::kSeparator) == Path::npos) return false;
  // Every prefix that ends before a separator names a folder above the last one; a prefix that
  // exists already (the root, the temporary folder) simply fails to be created again.
  for (size_t i = 1; i < folder.size(); ++i) {
    if (folder[i] == platform::kSeparator && folder[i - 1] != platform::kSeparator) {
      Fs().CreateFolder(folder.substr(0, i));
    }
  }
  if (folder.back() != platform::kSeparator) Fs().CreateFolder(folder);
  return true;
}

}  // namespace vellomir
