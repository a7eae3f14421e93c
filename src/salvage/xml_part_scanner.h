// A streaming check of one XML part of an OpenDocument package, private to the salvage library.
//
// ScanXmlPart reads the part once, in blocks, through expat and tells whether it is well-formed.
// When it is not, it also tells how to complete it: how many leading bytes end at the last sound
// element boundary and which end tags close what is still open there. Memory does not grow with
// the size of the part: only the names of the open elements are kept, and those are bounded.
//
// Usage:
//   XmlScanResult scan = ScanXmlPart(*file);
//   if (scan.verdict == XmlScanResult::Verdict::kCompletable) {
//     // copy the first scan.keep_bytes bytes of the part, then append scan.closing_tags
//   }
#ifndef VELLOMIR_SALVAGE_XML_PART_SCANNER_H_
#define VELLOMIR_SALVAGE_XML_PART_SCANNER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vellomir::completion {

// The namespaces whose elements the completion has to recognise; every other one is kOther.
enum class XmlNamespace : uint8_t { kOther, kOffice, kTable, kManifest, kMathMl };

class NamespaceBindings;

// The attributes of one start tag, looked up by namespace and local name.
class XmlAttributes {
 public:
  XmlAttributes(const char** attributes, const NamespaceBindings& bindings)
      : attributes_(attributes), bindings_(bindings) {}
  // The value of the attribute `local` in namespace `ns` (never kOther), if the tag has it.
  std::optional<std::string_view> Find(XmlNamespace ns, std::string_view local) const;
  // The value of the attribute written exactly as `qualified_name`, such as "xmlns:manifest".
  std::optional<std::string_view> FindQualified(std::string_view qualified_name) const;

 private:
  const char** attributes_;  // expat's array: name, value, name, value, ..., null
  const NamespaceBindings& bindings_;
};

// Sees every start tag of a part while it is scanned (the manifest reader uses it).
class XmlStartTagObserver {
 public:
  virtual ~XmlStartTagObserver() = default;
  // `depth` is 1 for the root element, 2 for its children and so on.
  virtual void OnStartTag(size_t depth, XmlNamespace ns, std::string_view local,
                          const XmlAttributes& attributes) = 0;
};

// Bounds against hostile parts. A part that goes beyond one of them is not checked further.
struct XmlScanLimits {
  size_t max_depth = 10000;               // open elements at one time
  size_t max_open_name_bytes = 1u << 20;  // bytes of the names of all open elements together
  size_t max_namespace_bindings = 10000;  // namespace declarations in force at one time
  uint64_t max_token_bytes = 32u << 20;   // bytes expat may hold back for one unfinished token
};

struct XmlScanResult {
  enum class Verdict {
    kWellFormed,      // the whole part is well-formed XML
    kCompletable,     // not well-formed; keep_bytes and closing_tags give a well-formed part
    kNothingToKeep,   // not well-formed before the root element's start tag was complete
    kNotCompletable,  // not well-formed, but a cut cannot be made safely: the part is not in
                      // UTF-8 (or ASCII) or in an encoding expat does not know, or it declares
                      // entities, whose markup expat reports at the place of the reference
    kBeyondLimits,    // beyond one of the XmlScanLimits: not known whether well-formed
    kReadFailed,      // the part could not be read to its end
  };
  Verdict verdict = Verdict::kReadFailed;
  uint64_t keep_bytes = 0;   // kCompletable: the sound prefix, ending at an element boundary
  std::string closing_tags;  // kCompletable: end tags for the elements open at that boundary
  // In a spreadsheet part: the complete rows of its sheets in what stays (the whole part when it
  // is well-formed). -1 for every other part.
  int64_t rows_kept = -1;

  // What the root element's start tag and the beginning of the body said, when they were read.
  XmlNamespace root_ns = XmlNamespace::kOther;
  std::string root_local;      // empty when no root start tag was read
  std::string office_version;  // the root's office:version, empty when it has none
  std::string body_kind;       // local name of the first office element in office:body
  // Well-formed parts whose root element has an end tag of its own: where that tag starts.
  std::optional<uint64_t> root_end_tag_offset;
};

// Scans a whole part from its first byte. `observer` may be null.
XmlScanResult ScanXmlPart(platform::File& part, const XmlScanLimits& limits = {},
                          XmlStartTagObserver* observer = nullptr);

}  // namespace vellomir::completion

#endif  // VELLOMIR_SALVAGE_XML_PART_SCANNER_H_
