// What an OpenDocument package says about its members, private to the salvage library: media
// types from names and contents, reading META-INF/manifest.xml, and writing one afresh.
#ifndef VELLOMIR_SALVAGE_ODF_MANIFEST_H_
#define VELLOMIR_SALVAGE_ODF_MANIFEST_H_

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "salvage/xml_part_scanner.h"

namespace vellomir::completion {

inline constexpr std::string_view kOdfMediaTypePrefix = "application/vnd.oasis.opendocument.";
inline constexpr std::string_view kManifestPath = "META-INF/manifest.xml";
inline constexpr std::string_view kMimetypePath = "mimetype";

// True for a text that can be a package's media type: 1 to 255 printable ASCII characters
// without blanks, one of them a "/". A mimetype member that ran on into other bytes is not.
bool IsPlausibleMediaType(std::string_view text);

// The document media type for the extension of a file name (".ods", ".OTT", ...); empty when the
// extension is not one of OpenDocument's.
std::string_view MediaTypeForExtension(std::u16string_view file_name);

// The document media type a content.xml shows: the kind of its office body (office:spreadsheet
// ...) or a MathML root for a formula. Empty when it shows none.
std::string_view MediaTypeForContent(const XmlScanResult& content);

// The media type a manifest lists a member with, from its path; empty when there is none to give.
std::string_view MediaTypeForMember(std::string_view path);

// The media type of the "Configurations2/" folder entry, which holds user-interface settings.
inline constexpr std::string_view kConfigurationsMediaType =
    "application/vnd.sun.xml.ui.configuration";

// Whether a member path can be written into a manifest: valid UTF-8 of characters XML allows.
bool CanBeListed(std::string_view path);

// Collects what a manifest says while it is scanned. Only paths from `members` are remembered,
// so a hostile manifest cannot make the reader grow beyond the workspace.
class ManifestReader : public XmlStartTagObserver {
 public:
  explicit ManifestReader(const std::set<std::string>& members) : members_(members) {}

  void OnStartTag(size_t depth, XmlNamespace ns, std::string_view local,
                  const XmlAttributes& attributes) override;

  // The root element is manifest:manifest.
  bool is_manifest() const { return is_manifest_; }
  // The media type of the "/" entry, if one was read.
  const std::optional<std::string>& root_media_type() const { return root_media_type_; }
  bool Lists(const std::string& path) const { return listed_.count(path) != 0; }
  // The root element binds the prefix "manifest" to the manifest namespace, so that entries
  // added before its end tag can use the prefix without declaring it.
  bool root_binds_prefix() const { return root_binds_prefix_; }

 private:
  const std::set<std::string>& members_;
  bool is_manifest_ = false;
  bool root_binds_prefix_ = false;
  std::optional<std::string> root_media_type_;
  std::set<std::string> listed_;
};

struct ManifestEntry {
  std::string path;  // "/" separated; folders end in "/"
  std::string media_type;
};

// A whole manifest: the "/" entry with `document_media_type`, then `entries`. `version` (the
// documents' office:version) goes on the root element and the "/" entry; none when empty.
std::string RenderManifest(std::string_view document_media_type, std::string_view version,
                           const std::vector<ManifestEntry>& entries);

// Entries to insert before the end tag of an existing manifest's root element, one a line.
// `declare_prefix`: each entry declares the "manifest" prefix itself.
std::string RenderAddedEntries(const std::vector<ManifestEntry>& entries, bool declare_prefix);

}  // namespace vellomir::completion

#endif  // VELLOMIR_SALVAGE_ODF_MANIFEST_H_
