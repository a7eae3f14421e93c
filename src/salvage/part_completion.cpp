#include "salvage/part_completion.h"

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "salvage/odf_manifest.h"
#include "salvage/xml_part_scanner.h"

namespace vellomir {

namespace {

using completion::ManifestEntry;
using completion::ManifestReader;
using completion::XmlScanResult;
using Verdict = XmlScanResult::Verdict;
using Action = CompletedPart::Action;

constexpr size_t kCopyBlockSize = 64 * 1024;
// Member names are at most a few hundred bytes, so a deeper workspace tree is not one the
// salvage wrote; it is not walked further.
constexpr int kMaxFolderDepth = 256;
constexpr int kScratchNameAttempts = 10;

// The XML parts of a document, and of each embedded object in its own folder.
constexpr std::array<std::string_view, 5> kXmlPartNames = {"content.xml", "styles.xml", "meta.xml",
                                                           "settings.xml", "manifest.rdf"};
// The parts whose office:version the manifest repeats, in the order they are asked.
constexpr std::array<std::string_view, 4> kVersionedParts = {"content.xml", "styles.xml",
                                                             "meta.xml", "settings.xml"};

constexpr std::string_view kMetaInfName = "META-INF";
constexpr std::string_view kMetaInfFolder = "META-INF/";
constexpr std::string_view kConfigurationsFolder = "Configurations2/";

// The folder part of a member name with its trailing "/", empty for a member at the top.
std::string_view FolderOf(std::string_view member) {
  const size_t slash = member.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : member.substr(0, slash + 1);
}

std::string_view BaseNameOf(std::string_view member) {
  return member.substr(FolderOf(member).size());
}

bool IsXmlPart(std::string_view member) {
  if (member.starts_with(kMetaInfFolder)) return false;
  return std::find(kXmlPartNames.begin(), kXmlPartNames.end(), BaseNameOf(member)) !=
         kXmlPartNames.end();
}

// Members that a manifest lists: all but mimetype and those of META-INF.
bool BelongsInManifest(std::string_view member) {
  return member != completion::kMimetypePath && !member.starts_with(kMetaInfFolder);
}

std::u16string DisplayName(std::string_view member) {
  return platform::FromNative(member);
}

// The files below the workspace folder, named as members ("/" between folders, native bytes).
class PackageFolder {
 public:
  explicit PackageFolder(platform::Path folder) : folder_(std::move(folder)) {
    if (folder_.empty() || folder_.back() != platform::kSeparator) {
      folder_ += platform::kSeparator;
    }
  }

  platform::Path PathOf(std::string_view member) const {
    platform::Path path = platform::FromNative(member);
    std::replace(path.begin(), path.end(), u'/', platform::kSeparator);
    return folder_ + path;
  }

  std::set<std::string> ListMembers() const {
    std::set<std::string> members;
    ListInto(folder_, std::string(), 0, members);
    return members;
  }

 private:
  void ListInto(const platform::Path& folder, const std::string& prefix, int depth,
                std::set<std::string>& members) const {
    const std::optional<std::vector<platform::FolderEntry>> entries =
        platform::Fs().ListFolder(folder);
    if (!entries) return;
    for (const platform::FolderEntry& entry : *entries) {
      const std::string name = prefix + platform::ToNative(entry.name);
      if (!entry.is_folder) {
        members.insert(name);
      } else if (depth < kMaxFolderDepth) {
        ListInto(folder + entry.name + platform::kSeparator, name + "/", depth + 1, members);
      }
    }
  }

  platform::Path folder_;
};

// Copies `count` bytes from `offset` of one file to the end of another.
bool CopyRange(platform::File& from, uint64_t offset, uint64_t count, platform::File& to) {
  std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(count, kCopyBlockSize)));
  while (count > 0) {
    const size_t size = static_cast<size_t>(std::min<uint64_t>(count, block.size()));
    if (!platform::ReadExactAt(from, static_cast<int64_t>(offset), block.data(), size) ||
        !to.Write(block.data(), size)) {
      return false;
    }
    offset += size;
    count -= size;
  }
  return true;
}

// Writes a new version of a member with `write` under a scratch name beside it, then renames it
// over the member (or into its place when there was none), so that a failure halfway leaves the
// old version as it was. The new version keeps the read-only attribute and the times of the old
// one (`old_info`), which the packer carries into the repaired document. `release_old` closes
// the old version before the rename, as Windows will not rename over an open file.
bool WriteMember(const platform::Path& path, const std::optional<platform::FileInfo>& old_info,
                 const std::function<bool(platform::File&)>& write,
                 const std::function<void()>& release_old = {}) {
  platform::FileSystem& fs = platform::Fs();
  const uint32_t attributes = old_info ? (old_info->attributes & platform::kAttrReadOnly) : 0;
  platform::Path scratch;
  std::unique_ptr<platform::File> file;
  for (int attempt = 0; attempt < kScratchNameAttempts && !file; ++attempt) {
    scratch = path + u"~" + static_cast<char16_t>(u'0' + attempt);
    file = fs.CreateFile(scratch, platform::CreateMode::kNewOnly, attributes);
  }
  if (!file) return false;
  bool written = write(*file);
  if (written && old_info) written = file->SetTimes(old_info->times);
  file.reset();
  if (release_old) release_old();
  if (written) {
    fs.SetNormalAttributes(path);  // fails harmlessly when there is no old version
    if (fs.MoveFile(scratch, path)) return true;
  }
  fs.SetNormalAttributes(scratch);
  fs.DeleteFile(scratch);
  return false;
}

bool WriteText(platform::File& file, std::string_view text) {
  return text.empty() || file.Write(text.data(), text.size());
}

// The mimetype member as found.
struct MimetypeState {
  bool present = false;
  bool readable = false;
  uint64_t size = 0;
  std::optional<std::string> media_type;  // when it holds a plausible one
  std::optional<platform::FileInfo> info;
};

MimetypeState ReadMimetype(const PackageFolder& folder, const std::set<std::string>& members) {
  MimetypeState state;
  const std::string name(completion::kMimetypePath);
  if (members.count(name) == 0) return state;
  state.present = true;
  std::unique_ptr<platform::File> file = platform::Fs().OpenSharedRead(folder.PathOf(name));
  if (!file) return state;
  const int64_t size = file->Size();
  if (size < 0) return state;
  state.readable = true;
  state.size = static_cast<uint64_t>(size);
  state.info = file->Info();
  constexpr int64_t kLongest = 255;
  if (size > kLongest) return state;
  std::string text(static_cast<size_t>(size), '\0');
  if (!platform::ReadExactAt(*file, 0, text.data(), text.size())) {
    state.readable = false;
    return state;
  }
  if (completion::IsPlausibleMediaType(text)) state.media_type = std::move(text);
  return state;
}

// META-INF/manifest.xml as found.
struct ManifestState {
  explicit ManifestState(const std::set<std::string>& members) : reader(members) {}
  bool present = false;
  bool scanned = false;
  uint64_t size = 0;
  XmlScanResult scan;
  ManifestReader reader;
};

void ScanManifest(const PackageFolder& folder, const std::set<std::string>& members,
                  ManifestState& state) {
  const std::string name(completion::kManifestPath);
  if (members.count(name) == 0) return;
  state.present = true;
  std::unique_ptr<platform::File> file = platform::Fs().OpenSharedRead(folder.PathOf(name));
  if (!file) return;
  const int64_t size = file->Size();
  if (size < 0) return;
  state.size = static_cast<uint64_t>(size);
  state.scan = completion::ScanXmlPart(*file, {}, &state.reader);
  state.scanned = true;
}

bool IsOdfMediaType(std::string_view media_type) {
  return media_type.starts_with(completion::kOdfMediaTypePrefix);
}

bool IsOdfPackage(const MimetypeState& mimetype, const ManifestState& manifest,
                  const std::set<std::string>& members) {
  if (mimetype.media_type) return IsOdfMediaType(*mimetype.media_type);
  if (manifest.reader.root_media_type() && IsOdfMediaType(*manifest.reader.root_media_type())) {
    return true;
  }
  if (members.count("content.xml") == 0) return false;
  for (const char* companion :
       {"styles.xml", "meta.xml", "settings.xml", "META-INF/manifest.xml"}) {
    if (members.count(companion) != 0) return true;
  }
  return false;
}

// What the XML parts tell about the package, for a manifest written afresh.
struct PackageFacts {
  std::string version;                              // office:version of the document's parts
  std::string_view content_media_type;              // from the top content.xml
  std::map<std::string, std::string> object_types;  // "Object 1/" -> its media type
};

CompletedPart Part(std::string_view member, Action action, uint64_t kept, uint64_t dropped,
                   int64_t rows = -1) {
  return CompletedPart{DisplayName(member), action, kept, dropped, rows};
}

// Checks one XML part and completes or removes it when it is damaged. `scan` receives what the
// check found. Nothing is returned for a part that is well-formed or cannot be checked.
std::optional<CompletedPart> CheckXmlPart(const PackageFolder& folder, const std::string& member,
                                          XmlScanResult& scan) {
  const platform::Path path = folder.PathOf(member);
  std::unique_ptr<platform::File> file = platform::Fs().OpenSharedRead(path);
  if (!file) return std::nullopt;
  const int64_t signed_size = file->Size();
  if (signed_size < 0) return std::nullopt;
  const uint64_t size = static_cast<uint64_t>(signed_size);
  scan = completion::ScanXmlPart(*file);

  switch (scan.verdict) {
    case Verdict::kWellFormed:
    case Verdict::kBeyondLimits:
    case Verdict::kReadFailed:
      return std::nullopt;
    case Verdict::kNotCompletable:
      return Part(member, Action::kLeftDamaged, size, 0);
    case Verdict::kNothingToKeep: {
      file.reset();
      platform::Fs().SetNormalAttributes(path);
      if (!platform::Fs().DeleteFile(path)) return Part(member, Action::kLeftDamaged, size, 0);
      return Part(member, Action::kRemoved, 0, size);
    }
    case Verdict::kCompletable:
      break;
  }
  const uint64_t keep = std::min(scan.keep_bytes, size);
  const bool written = WriteMember(
      path, file->Info(),
      [&](platform::File& out) {
        return CopyRange(*file, 0, keep, out) && WriteText(out, scan.closing_tags);
      },
      [&] { file.reset(); });
  if (!written) return Part(member, Action::kLeftDamaged, size, 0);
  return Part(member, Action::kCompleted, keep, size - keep, scan.rows_kept);
}

// Checks every XML part of the package, removing from `members` those that were removed.
PackageFacts CheckXmlParts(const PackageFolder& folder, std::set<std::string>& members,
                           std::vector<CompletedPart>& parts) {
  PackageFacts facts;
  std::map<std::string, std::string> versions;  // top-level part -> its office:version
  std::vector<std::string> xml_parts;
  std::copy_if(members.begin(), members.end(), std::back_inserter(xml_parts), IsXmlPart);
  for (const std::string& member : xml_parts) {
    XmlScanResult scan;
    std::optional<CompletedPart> part = CheckXmlPart(folder, member, scan);
    if (part) {
      if (part->action == Action::kRemoved) members.erase(member);
      parts.push_back(std::move(*part));
    }
    const std::string_view base = BaseNameOf(member);
    const std::string_view parent = FolderOf(member);
    if (parent.empty()) {
      if (!scan.office_version.empty()) versions[member] = scan.office_version;
      if (base == "content.xml") facts.content_media_type = completion::MediaTypeForContent(scan);
    } else if (base == "content.xml" && members.count(member) != 0) {
      const std::string_view type = completion::MediaTypeForContent(scan);
      if (!type.empty()) facts.object_types[std::string(parent)] = type;
    }
  }
  for (const std::string_view name : kVersionedParts) {
    const auto found = versions.find(std::string(name));
    if (found != versions.end()) {
      facts.version = found->second;
      break;
    }
  }
  return facts;
}

// The package's own media type, for the "/" entry and the mimetype member.
std::string DocumentMediaType(const MimetypeState& mimetype, const ManifestState& manifest,
                              const PackageFacts& facts, const platform::Path& source_name) {
  if (mimetype.media_type) return *mimetype.media_type;
  const std::optional<std::string>& listed = manifest.reader.root_media_type();
  if (listed && completion::IsPlausibleMediaType(*listed)) return *listed;
  const std::string_view by_extension = completion::MediaTypeForExtension(source_name);
  if (!by_extension.empty()) return std::string(by_extension);
  return std::string(facts.content_media_type);
}

std::vector<ManifestEntry> AllEntries(const std::set<std::string>& members,
                                      const PackageFacts& facts) {
  std::vector<ManifestEntry> entries;
  bool has_configurations = false;
  for (const std::string& member : members) {
    if (!BelongsInManifest(member) || !completion::CanBeListed(member)) continue;
    entries.push_back({member, std::string(completion::MediaTypeForMember(member))});
    has_configurations = has_configurations || member.starts_with(kConfigurationsFolder);
  }
  for (const auto& [folder, media_type] : facts.object_types) {
    if (completion::CanBeListed(folder)) entries.push_back({folder, media_type});
  }
  if (has_configurations) {
    entries.push_back(
        {std::string(kConfigurationsFolder), std::string(completion::kConfigurationsMediaType)});
  }
  std::sort(entries.begin(), entries.end(),
            [](const ManifestEntry& a, const ManifestEntry& b) { return a.path < b.path; });
  return entries;
}

// The entries a well-formed manifest lacks: the "/" entry and the members it does not list.
std::vector<ManifestEntry> MissingEntries(const std::set<std::string>& members,
                                          const ManifestReader& reader,
                                          std::string_view document_type) {
  std::vector<ManifestEntry> entries;
  if (!reader.root_media_type() && !document_type.empty()) {
    entries.push_back({"/", std::string(document_type)});
  }
  for (const std::string& member : members) {
    if (BelongsInManifest(member) && completion::CanBeListed(member) && !reader.Lists(member)) {
      entries.push_back({member, std::string(completion::MediaTypeForMember(member))});
    }
  }
  return entries;
}

std::optional<CompletedPart> WriteFreshManifest(const PackageFolder& folder,
                                                const std::set<std::string>& members,
                                                const ManifestState& manifest,
                                                const PackageFacts& facts,
                                                std::string_view document_type) {
  const std::string name(completion::kManifestPath);
  const std::string text =
      completion::RenderManifest(document_type, facts.version, AllEntries(members, facts));
  const platform::Path path = folder.PathOf(name);
  std::optional<platform::FileInfo> old_info;
  if (manifest.present) {
    if (std::unique_ptr<platform::File> old = platform::Fs().OpenSharedRead(path)) {
      old_info = old->Info();
    }
  } else {
    const platform::Path meta_inf = folder.PathOf(kMetaInfName);
    if (!platform::Fs().IsFolder(meta_inf)) platform::Fs().CreateFolder(meta_inf);
  }
  const bool written =
      WriteMember(path, old_info, [&](platform::File& out) { return WriteText(out, text); });
  if (!written) return Part(name, Action::kLeftDamaged, manifest.size, 0);
  return Part(name, Action::kRebuilt, 0, manifest.size);
}

// Inserts `entries` before the end tag of a well-formed manifest's root element.
std::optional<CompletedPart> AddManifestEntries(const PackageFolder& folder,
                                                const ManifestState& manifest,
                                                const std::vector<ManifestEntry>& entries) {
  const std::string name(completion::kManifestPath);
  const platform::Path path = folder.PathOf(name);
  std::unique_ptr<platform::File> old = platform::Fs().OpenSharedRead(path);
  const uint64_t insert_at = *manifest.scan.root_end_tag_offset;
  if (!old || old->Size() != static_cast<int64_t>(manifest.size) || insert_at > manifest.size) {
    return Part(name, Action::kLeftDamaged, manifest.size, 0);
  }
  const std::string added =
      completion::RenderAddedEntries(entries, !manifest.reader.root_binds_prefix());
  const bool written = WriteMember(
      path, old->Info(),
      [&](platform::File& out) {
        return CopyRange(*old, 0, insert_at, out) && WriteText(out, added) &&
               CopyRange(*old, insert_at, manifest.size - insert_at, out);
      },
      [&] { old.reset(); });
  if (!written) return Part(name, Action::kLeftDamaged, manifest.size, 0);
  return Part(name, Action::kRebuilt, manifest.size, 0);
}

std::optional<CompletedPart> RepairManifest(const PackageFolder& folder,
                                            const std::set<std::string>& members,
                                            const ManifestState& manifest,
                                            const PackageFacts& facts,
                                            std::string_view document_type) {
  if (!manifest.present) {
    return WriteFreshManifest(folder, members, manifest, facts, document_type);
  }
  if (!manifest.scanned) return std::nullopt;
  switch (manifest.scan.verdict) {
    case Verdict::kBeyondLimits:
    case Verdict::kReadFailed:
      return std::nullopt;
    case Verdict::kNotCompletable:
      return Part(completion::kManifestPath, Action::kLeftDamaged, manifest.size, 0);
    case Verdict::kCompletable:
    case Verdict::kNothingToKeep:
      return WriteFreshManifest(folder, members, manifest, facts, document_type);
    case Verdict::kWellFormed:
      break;
  }
  if (!manifest.reader.is_manifest() || !manifest.scan.root_end_tag_offset) {
    return WriteFreshManifest(folder, members, manifest, facts, document_type);
  }
  const std::vector<ManifestEntry> missing =
      MissingEntries(members, manifest.reader, document_type);
  if (missing.empty()) return std::nullopt;
  return AddManifestEntries(folder, manifest, missing);
}

std::optional<CompletedPart> RepairMimetype(const PackageFolder& folder,
                                            const MimetypeState& mimetype,
                                            std::string_view document_type) {
  const bool broken = !mimetype.present || (mimetype.readable && !mimetype.media_type);
  if (!broken || document_type.empty()) return std::nullopt;
  const std::string name(completion::kMimetypePath);
  const bool written = WriteMember(folder.PathOf(name), mimetype.info, [&](platform::File& out) {
    return WriteText(out, document_type);
  });
  if (!written) return Part(name, Action::kLeftDamaged, mimetype.size, 0);
  return Part(name, Action::kRebuilt, 0, mimetype.size);
}

}  // namespace

CompletionResult CompleteDamagedParts(const platform::Path& workspace_folder,
                                      const platform::Path& source_name) {
  CompletionResult result;
  const PackageFolder folder(workspace_folder);
  std::set<std::string> members = folder.ListMembers();

  const MimetypeState mimetype = ReadMimetype(folder, members);
  ManifestState manifest(members);
  ScanManifest(folder, members, manifest);
  result.odf_package = IsOdfPackage(mimetype, manifest, members);
  if (!result.odf_package) return result;

  const PackageFacts facts = CheckXmlParts(folder, members, result.parts);
  const std::string document_type = DocumentMediaType(mimetype, manifest, facts, source_name);
  if (std::optional<CompletedPart> part =
          RepairManifest(folder, members, manifest, facts, document_type)) {
    result.parts.push_back(std::move(*part));
  }
  if (std::optional<CompletedPart> part = RepairMimetype(folder, mimetype, document_type)) {
    result.parts.push_back(std::move(*part));
  }
  return result;
}

}  // namespace vellomir
