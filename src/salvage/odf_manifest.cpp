#include "salvage/odf_manifest.h"

#include <array>
#include <cstdint>
#include <utility>

namespace vellomir::completion {

namespace {

constexpr std::string_view kManifestNamespace =
    "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0";

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The extension of the last name in a path, in ASCII lower case, without its dot.
std::string LowerExtension(std::u16string_view path) {
  const size_t name_start = path.find_last_of(u"/\\");
  const std::u16string_view name =
      name_start == std::u16string_view::npos ? path : path.substr(name_start + 1);
  const size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos) return {};
  std::string extension;
  for (const char16_t c : name.substr(dot + 1)) {
    if (c > 0x7F) return {};
    extension += LowerAscii(static_cast<char>(c));
  }
  return extension;
}

std::string LowerExtension(std::string_view path) {
  const size_t name_start = path.rfind('/');
  const std::string_view name =
      name_start == std::string_view::npos ? path : path.substr(name_start + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string extension;
  for (const char c : name.substr(dot + 1)) extension += LowerAscii(c);
  return extension;
}

template <size_t N>
std::string_view Lookup(const std::array<std::pair<std::string_view, std::string_view>, N>& table,
                        std::string_view key) {
  for (const auto& [from, to] : table) {
    if (from == key) return to;
  }
  return {};
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 17> kDocumentExtensions = {{
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"ots", "application/vnd.oasis.opendocument.spreadsheet-template"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ott", "application/vnd.oasis.opendocument.text-template"},
    {"odm", "application/vnd.oasis.opendocument.text-master"},
    {"otm", "application/vnd.oasis.opendocument.text-master-template"},
    {"odp", "application/vnd.oasis.opendocument.presentation"},
    {"otp", "application/vnd.oasis.opendocument.presentation-template"},
    {"odg", "application/vnd.oasis.opendocument.graphics"},
    {"otg", "application/vnd.oasis.opendocument.graphics-template"},
    {"odc", "application/vnd.oasis.opendocument.chart"},
    {"otc", "application/vnd.oasis.opendocument.chart-template"},
    {"odf", "application/vnd.oasis.opendocument.formula"},
    {"otf", "application/vnd.oasis.opendocument.formula-template"},
    {"odi", "application/vnd.oasis.opendocument.image"},
    {"oti", "application/vnd.oasis.opendocument.image-template"},
    {"odb", "application/vnd.oasis.opendocument.base"},
}};

// The child of office:body names the kind of document.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kBodyKinds = {{
    {"spreadsheet", "application/vnd.oasis.opendocument.spreadsheet"},
    {"text", "application/vnd.oasis.opendocument.text"},
    {"presentation", "application/vnd.oasis.opendocument.presentation"},
    {"drawing", "application/vnd.oasis.opendocument.graphics"},
    {"chart", "application/vnd.oasis.opendocument.chart"},
    {"image", "application/vnd.oasis.opendocument.image"},
}};

constexpr std::array<std::pair<std::string_view, std::string_view>, 15> kMemberExtensions = {{
    {"xml", "text/xml"},
    {"rdf", "application/rdf+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpe", "image/jpeg"},
    {"gif", "image/gif"},
    {"svg", "image/svg+xml"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"webp", "image/webp"},
    {"wmf", "image/x-wmf"},
    {"emf", "image/x-emf"},
    {"pdf", "application/pdf"},
}};

// The pictures that stand in for embedded objects have no extension; office programs write them
// as metafiles.
constexpr std::string_view kObjectReplacementFolder = "ObjectReplacements/";
constexpr std::string_view kObjectReplacementMediaType =
    "application/x-openoffice-gdimetafile;windows_formatname=\"GDIMetaFile\"";

// Decodes one UTF-8 sequence at `at`; false for a malformed one (overlong forms and surrogates
// included).
bool DecodeUtf8(std::string_view text, size_t& at, uint32_t& code_point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length;
  uint32_t minimum;
  if (lead < 0x80) {
    code_point = lead;
    ++at;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code_point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code_point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code_point = lead & 0x07;
  } else {
    return false;
  }
  if (text.size() - at < length) return false;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return false;
    code_point = (code_point << 6) | (byte(at + i) & 0x3F);
  }
  at += length;
  return code_point >= minimum && code_point <= 0x10FFFF &&
         !(code_point >= 0xD800 && code_point <= 0xDFFF);
}

bool IsXmlCharacter(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Escapes a text for an attribute value in double quotes. Tabs and line ends become character
// references, as a parser would otherwise turn them into blanks.
void AppendAttributeValue(std::string& out, std::string_view value) {
  for (const char c : value) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
}

// Appends ` name="value"`, the value escaped.
void AppendAttribute(std::string& out, std::string_view name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  AppendAttributeValue(out, value);
  out += '"';
}

void AppendEntry(std::string& out, const ManifestEntry& entry, std::string_view version,
                 bool declare_prefix) {
  out += " <manifest:file-entry";
  if (declare_prefix) AppendAttribute(out, "xmlns:manifest", kManifestNamespace);
  AppendAttribute(out, "manifest:full-path", entry.path);
  if (!version.empty()) AppendAttribute(out, "manifest:version", version);
  AppendAttribute(out, "manifest:media-type", entry.media_type);
  out += "/>\n";
}

}  // namespace

bool IsPlausibleMediaType(std::string_view text) {
  if (text.empty() || text.size() > 255 || text.find('/') == std::string_view::npos) return false;
  for (const char c : text) {
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}

std::string_view MediaTypeForExtension(std::u16string_view file_name) {
  return Lookup(kDocumentExtensions, LowerExtension(file_name));
}

std::string_view MediaTypeForContent(const XmlScanResult& content) {
  if (content.root_ns == XmlNamespace::kMathMl && content.root_local == "math") {
    return "application/vnd.oasis.opendocument.formula";
  }
  return Lookup(kBodyKinds, content.body_kind);
}

std::string_view MediaTypeForMember(std::string_view path) {
  if (path.starts_with(kObjectReplacementFolder)) return kObjectReplacementMediaType;
  return Lookup(kMemberExtensions, LowerExtension(path));
}

bool CanBeListed(std::string_view path) {
  if (path.empty()) return false;
  size_t at = 0;
  while (at < path.size()) {
    uint32_t code_point = 0;
    if (!DecodeUtf8(path, at, code_point) || !IsXmlCharacter(code_point)) return false;
  }
  return true;
}

void ManifestReader::OnStartTag(size_t depth, XmlNamespace ns, std::string_view local,
                                const XmlAttributes& attributes) {
  if (depth == 1) {
    is_manifest_ = ns == XmlNamespace::kManifest && local == "manifest";
    root_binds_prefix_ = attributes.FindQualified("xmlns:manifest") == kManifestNamespace;
    return;
  }
  if (depth != 2 || !is_manifest_ || ns != XmlNamespace::kManifest || local != "file-entry") {
    return;
  }
  const std::optional<std::string_view> path =
      attributes.Find(XmlNamespace::kManifest, "full-path");
  if (!path) return;
  if (*path == "/") {
    if (!root_media_type_) {
      root_media_type_ =
          std::string(attributes.Find(XmlNamespace::kManifest, "media-type").value_or(""));
    }
    return;
  }
  const std::string listed(*path);
  if (members_.count(listed) != 0) listed_.insert(listed);
}

std::string RenderManifest(std::string_view document_media_type, std::string_view version,
                           const std::vector<ManifestEntry>& entries) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest";
  AppendAttribute(out, "xmlns:manifest", kManifestNamespace);
  if (!version.empty()) AppendAttribute(out, "manifest:version", version);
  out += ">\n";
  if (!document_media_type.empty()) {
    AppendEntry(out, {"/", std::string(document_media_type)}, version, false);
  }
  for (const ManifestEntry& entry : entries) AppendEntry(out, entry, {}, false);
  out += "</manifest:manifest>\n";
  return out;
}

std::string RenderAddedEntries(const std::vector<ManifestEntry>& entries, bool declare_prefix) {
  std::string out;
  for (const ManifestEntry& entry : entries) AppendEntry(out, entry, {}, declare_prefix);
  return out;
}

}  // namespace vellomir::completion
