// The repair workspace: the scratch area in the user's private temporary folder in which one
// document is taken apart and put together again, and the folder operations it needs.
//
// With T the per-user temporary folder (GetTempFolder), the workspace is the folder
// T + "TempDirZanth/" that receives the salvaged members, the scratch archive T + "temp12temp.zip"
// and the packed result T + "temp12swe.ods". The two files lie beside the folder, so the packer
// never packs them. The names are fixed; one run at a time per user is the rule.
#ifndef VELLOMIR_ENGINE_WORKSPACE_H_
#define VELLOMIR_ENGINE_WORKSPACE_H_

#include <string>

#include "platform/platform.h"

namespace vellomir {

// The per-user private temporary folder, ending in the separator, asked for afresh at every use.
// Empty when no private folder can be had (it is a link, belongs to another user, or cannot be
// created); nothing is repaired then.
platform::Path GetTempFolder();

// The three paths of the workspace below one temporary folder.
struct RepairWorkspace {
  platform::Path temp_folder;      // T, ends in the separator
  platform::Path folder;           // T + "TempDirZanth/"
  platform::Path scratch_archive;  // T + "temp12temp.zip"
  platform::Path packed_result;    // T + "temp12swe.ods"

  // The workspace below GetTempFolder(); every path is empty when that is.
  static RepairWorkspace Current();
  static RepairWorkspace Below(const platform::Path& temp_folder);
  bool valid() const { return !temp_folder.empty(); }
};

// Holds the workspace for one document: the names are fixed, so a second run of the same user (a
// script that starts several repairs at once) waits here until the first is done with its
// document, instead of deleting its files.
class WorkspaceLock {
 public:
  WorkspaceLock();
  WorkspaceLock(const WorkspaceLock&) = delete;
  WorkspaceLock& operator=(const WorkspaceLock&) = delete;

 private:
  std::unique_ptr<platform::FileLock> lock_;
};

// Deletes the workspace folder tree, then the packed result, then the scratch archive; every
// failure is ignored.
void ResetWorkspace();

// Folder operations of the workspace.
class CDirectoryManager {
 public:
  virtual ~CDirectoryManager() = default;

  // Removes the folder and everything below it: files whatever their attributes, read-only
  // sub-folders, and links, which are removed themselves and never followed. True when the folder
  // itself was removed; false for an empty path or a missing folder, without any message.
  static bool DeleteFolderTree(const platform::Path& folder);

  // Creates every folder along `folder` that does not exist yet, from the top down. False when
  // the path is empty or holds no separator, so that nothing was tried. Failures of single
  // folders (one that exists already) are ignored.
  static bool CreateFolderPath(const platform::Path& folder);
};

}  // namespace vellomir

#endif  // VELLOMIR_ENGINE_WORKSPACE_H_
