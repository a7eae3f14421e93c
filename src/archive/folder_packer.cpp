// Packs the repair workspace into a new archive: every file below the root, named relative to it,
// folders walked depth first.
#include <algorithm>
#include <string>
#include <vector>

#include "archive/archive.h"

namespace vellomir {
namespace {

constexpr std::u16string_view kMimetypeName = u"mimetype";

platform::Path WithSeparator(platform::Path path) {
  if (path.empty() || path.back() != platform::kSeparator) path.push_back(platform::kSeparator);
  return path;
}

struct ListedEntry {
  std::string sort_key;  // the 8-bit name, compared byte by byte
  platform::FolderEntry entry;
};

bool IsMimetype(const platform::FolderEntry& entry) {
  return !entry.is_folder && entry.name == kMimetypeName;
}

// The order in which a folder's entries go into the archive. Listings come in whatever order the
// file system keeps, so sorting them is what makes the same workspace give the same archive. An
// OpenDocument package must begin with its "mimetype" member, so a root-level one goes first.
std::vector<ListedEntry> PackingOrder(std::vector<platform::FolderEntry> listing, bool at_root) {
  std::vector<ListedEntry> entries;
  entries.reserve(listing.size());
  for (platform::FolderEntry& entry : listing) {
    std::string key = platform::ToNative(entry.name);
    entries.push_back(ListedEntry{std::move(key), std::move(entry)});
  }
  std::sort(entries.begin(), entries.end(),
            [](const ListedEntry& a, const ListedEntry& b) { return a.sort_key < b.sort_key; });
  if (at_root) {
    std::stable_partition(entries.begin(), entries.end(),
                          [](const ListedEntry& e) { return IsMimetype(e.entry); });
  }
  return entries;
}

// The "mimetype" member is stored without an extra field, so that tools that recognise a document
// by its first bytes find the media type right after the name; the rest is left to the writer.
ZipEntryOptions OptionsFor(const platform::FolderEntry& entry, bool at_root) {
  if (at_root && IsMimetype(entry)) return ZipEntryOptions{ZipMethod::kStored, false};
  return ZipEntryOptions{};
}

}  // namespace

bool AddFolderTree(ZipWriter& writer, const platform::Path& folder, const platform::Path& root) {
  const platform::Path folder_path = WithSeparator(folder);
  const platform::Path root_path = WithSeparator(root);
  // Entry names are the part of the path below the root; a folder elsewhere has none.
  if (folder_path.compare(0, root_path.size(), root_path) != 0) return false;
  const std::u16string_view relative_folder =
      std::u16string_view(folder_path).substr(root_path.size());
  const bool at_root = relative_folder.empty();

  std::optional<std::vector<platform::FolderEntry>> listing =
      platform::Fs().ListFolder(folder_path);
  if (!listing) return false;
  for (const ListedEntry& listed : PackingOrder(std::move(*listing), at_root)) {
    const platform::FolderEntry& entry = listed.entry;
    const platform::Path path = folder_path + entry.name;
    // Links do not occur: the workspace is a private folder that holds only the plain files and
    // folders the salvage wrote. The listing cannot tell a link to a file from a file, so such a
    // link would be packed with the bytes it points to; a link to a folder counts as a file too,
    // so the walk never descends through a link out of the workspace (opening it as a file fails,
    // which ends the walk).
    if (entry.is_folder) {
      if (!AddFolderTree(writer, path, root_path)) return false;
      continue;
    }
    std::u16string entry_name(relative_folder);
    entry_name += entry.name;
    const ZipStatus status = writer.AddFile(entry_name, path, OptionsFor(entry, at_root));
    // A file the format cannot hold (a name of more than 259 bytes, a size of 4 GiB or more, an
    // entry past the 65,535th) is passed over: it was never written, and ending the walk there
    // would lose every member after it while the archive looks whole.
    if (status == ZipStatus::kBadArgument) continue;
    if (status != ZipStatus::kOk) return false;
  }
  return true;
}

void PackFolder(const platform::Path& folder_root, const platform::Path& archive_path) {
  std::unique_ptr<ZipWriter> writer = ZipWriter::Create(archive_path, nullptr);
  if (!writer) return;
  // A file that cannot be read or written ends the walk; the entries before it are kept and the
  // archive is closed all the same, so that what could be salvaged is saved.
  AddFolderTree(*writer, folder_root, folder_root);
  // Without its central directory the archive is of no use, and saving it would pass a broken
  // result for a repaired one: it is removed, so the caller sees that packing failed.
  if (writer->Close() != ZipStatus::kOk) platform::Fs().DeleteFile(archive_path);
}

}  // namespace vellomir
