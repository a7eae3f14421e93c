// The streaming well-formedness check and cut finder for XML parts.
//
// expat runs without namespace processing, so that a part that merely uses an undeclared prefix
// (which office programs accept) still counts as well-formed; the few namespaces the completion
// cares about are resolved here instead, from the xmlns attributes of the open elements.
//
// While parsing, the scanner remembers the last "safe" element boundary: the byte offset right
// after a start or end tag at which the part may be cut and closed. In a spreadsheet's sheets a
// boundary is safe only at the end of a row, or, while the sheet has no complete row yet, outside
// cells and after a complete cell, so that a completed sheet never ends in half a row. When expat
// reports an error, the part is cut at the last safe boundary and closed with end tags for the
// elements open there.
//
// The open elements at the safe boundary are not copied at every boundary. The live stack and the
// stack at the safe boundary share their bottom entries; only an entry that is popped below the
// safe depth before a new safe boundary is found has its end tag saved aside, in closing order.
#include "salvage/xml_part_scanner.h"

#include <expat.h>

#include <cstring>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vellomir::completion {

static_assert(sizeof(XML_Index) >= 8, "parts beyond 2 GiB need 64-bit byte offsets from expat");

namespace {

constexpr size_t kBlockSize = 64 * 1024;

struct QualifiedName {
  std::string_view prefix;  // empty when the name has none
  std::string_view local;
};

QualifiedName Split(std::string_view name) {
  const size_t colon = name.find(':');
  if (colon == std::string_view::npos) return {{}, name};
  return {name.substr(0, colon), name.substr(colon + 1)};
}

// "xmlns" declares the default namespace, "xmlns:p" the prefix p.
std::optional<std::string_view> DeclaredPrefix(std::string_view attribute_name) {
  if (attribute_name == "xmlns") return std::string_view();
  constexpr std::string_view kPrefixed = "xmlns:";
  if (attribute_name.starts_with(kPrefixed)) return attribute_name.substr(kPrefixed.size());
  return std::nullopt;
}

XmlNamespace ClassifyNamespace(std::string_view uri) {
  if (uri == "urn:oasis:names:tc:opendocument:xmlns:office:1.0") return XmlNamespace::kOffice;
  if (uri == "urn:oasis:names:tc:opendocument:xmlns:table:1.0") return XmlNamespace::kTable;
  if (uri == "urn:oasis:names:tc:opendocument:xmlns:manifest:1.0") return XmlNamespace::kManifest;
  if (uri == "http://www.w3.org/1998/Math/MathML") return XmlNamespace::kMathMl;
  return XmlNamespace::kOther;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// A part that begins like UTF-16 (a byte order mark, or "<" as a 16-bit unit).
bool LooksLikeUtf16(const unsigned char* bytes, size_t size) {
  if (size < 2) return false;
  return (bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE) ||
         (bytes[0] == 0x00 && bytes[1] == '<') || (bytes[0] == '<' && bytes[1] == 0x00);
}

}  // namespace

// The prefixes in force at the current element, with an undo log so that leaving an element
// restores what its declarations replaced.
class NamespaceBindings {
 public:
  XmlNamespace Resolve(std::string_view prefix) const {
    const auto found = current_.find(prefix);
    return found == current_.end() ? XmlNamespace::kOther : found->second;
  }

  size_t Mark() const { return undo_.size(); }

  // False when `limit` declarations are in force already.
  bool Bind(std::string_view prefix, XmlNamespace ns, size_t limit) {
    if (undo_.size() >= limit) return false;
    const auto found = current_.find(prefix);
    if (found == current_.end()) {
      undo_.push_back({std::string(prefix), std::nullopt});
      current_.emplace(std::string(prefix), ns);
    } else {
      undo_.push_back({found->first, found->second});
      found->second = ns;
    }
    return true;
  }

  void RestoreTo(size_t mark) {
    while (undo_.size() > mark) {
      const Undo& undo = undo_.back();
      if (undo.previous) {
        current_.find(undo.prefix)->second = *undo.previous;
      } else {
        current_.erase(undo.prefix);
      }
      undo_.pop_back();
    }
  }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  struct Undo {
    std::string prefix;
    std::optional<XmlNamespace> previous;  // none: the prefix was not bound before
  };
  std::unordered_map<std::string, XmlNamespace, Hash, std::equal_to<>> current_;
  std::vector<Undo> undo_;
};

std::optional<std::string_view> XmlAttributes::Find(XmlNamespace ns, std::string_view local) const {
  for (const char** attribute = attributes_; *attribute != nullptr; attribute += 2) {
    const QualifiedName name = Split(attribute[0]);
    // An attribute without a prefix is in no namespace, whatever the default namespace is.
    if (name.prefix.empty() || name.local != local) continue;
    if (bindings_.Resolve(name.prefix) == ns) return attribute[1];
  }
  return std::nullopt;
}

std::optional<std::string_view> XmlAttributes::FindQualified(
    std::string_view qualified_name) const {
  for (const char** attribute = attributes_; *attribute != nullptr; attribute += 2) {
    if (qualified_name == attribute[0]) return attribute[1];
  }
  return std::nullopt;
}

namespace {

class Scanner {
 public:
  Scanner(const XmlScanLimits& limits, XmlStartTagObserver* observer)
      : limits_(limits), observer_(observer), parser_(XML_ParserCreate(nullptr)) {}
  ~Scanner() {
    if (parser_ != nullptr) XML_ParserFree(parser_);
  }
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  XmlScanResult Run(platform::File& part);

 private:
  // Where the inside of an element lies with respect to the sheets of a spreadsheet.
  enum class Place : uint8_t {
    kOutsideSheet,  // not in a sheet
    kInSheet,       // directly in a sheet or in one of its row groups
    kInSheetOther,  // in other content of a sheet: columns, shapes, named ranges ...
    kInRow,         // directly in a row of a sheet
    kInCell,        // in a cell of a sheet, or deeper
  };

  struct OpenElement {
    size_t name_begin;     // in open_names_
    size_t bindings_mark;  // to restore when the element ends
    Place inside;
    bool is_office_body = false;
    bool is_spreadsheet = false;
    bool is_sheet = false;
    bool is_row = false;
    bool is_cell = false;
  };

  static void XMLCALL StartElement(void* self, const XML_Char* name, const XML_Char** attributes) {
    static_cast<Scanner*>(self)->OnStart(name, attributes);
  }
  static void XMLCALL EndElement(void* self, const XML_Char*) {
    static_cast<Scanner*>(self)->OnEnd();
  }
  static void XMLCALL OtherEvent(void* self, const XML_Char*, int) {
    static_cast<Scanner*>(self)->OnOther();
  }
  static void XMLCALL OtherMarkup(void* self, const XML_Char*) {
    static_cast<Scanner*>(self)->OnOther();
  }
  static void XMLCALL OtherInstruction(void* self, const XML_Char*, const XML_Char*) {
    static_cast<Scanner*>(self)->OnOther();
  }
  static void XMLCALL Declaration(void* self, const XML_Char*, const XML_Char* encoding, int) {
    if (encoding != nullptr) static_cast<Scanner*>(self)->declared_encoding_ = encoding;
  }
  static void XMLCALL EntityDeclaration(void* self, const XML_Char*, int, const XML_Char*, int,
                                        const XML_Char*, const XML_Char*, const XML_Char*,
                                        const XML_Char*) {
    static_cast<Scanner*>(self)->declares_entities_ = true;
  }

  void OnStart(const char* name, const char** attributes);
  void OnEnd();
  void OnOther() {
    if (!stopped_) last_event_end_ = EventEnd();
  }

  OpenElement Classify(XmlNamespace ns, std::string_view local) const;
  bool IsSafeInside(Place place) const;
  void MarkSafe(uint64_t offset);
  void Pop();
  std::string ClosingTags() const;
  void Stop();
  uint64_t EventEnd() const {
    return static_cast<uint64_t>(XML_GetCurrentByteIndex(parser_)) +
           static_cast<uint64_t>(XML_GetCurrentByteCount(parser_));
  }
  std::string_view NameOf(size_t index) const;
  XmlScanResult Damaged();
  XmlScanResult Finish(XmlScanResult::Verdict verdict);
  bool EncodingAllowsCut() const;

  const XmlScanLimits limits_;
  XmlStartTagObserver* const observer_;
  XML_Parser parser_;
  bool stopped_ = false;  // a limit was reached

  NamespaceBindings bindings_;
  std::vector<OpenElement> stack_;
  std::string open_names_;  // the qualified names of stack_, one after the other
  uint64_t last_event_end_ = 0;

  bool have_safe_ = false;
  uint64_t safe_offset_ = 0;
  // The bottom entries that the live stack still shares with the stack at the safe boundary.
  size_t shared_depth_ = 0;
  // End tags of the entries above shared_depth_ at the safe boundary, innermost first.
  std::string saved_closing_tags_;
  int64_t safe_rows_ = 0;

  int64_t rows_total_ = 0;
  int64_t rows_in_sheet_ = 0;
  bool spreadsheet_ = false;
  bool utf16_ = false;
  bool declares_entities_ = false;
  std::string declared_encoding_;
  XmlScanResult result_;
};

std::string_view Scanner::NameOf(size_t index) const {
  const size_t begin = stack_[index].name_begin;
  const size_t end = index + 1 < stack_.size() ? stack_[index + 1].name_begin : open_names_.size();
  return std::string_view(open_names_).substr(begin, end - begin);
}

void AppendEndTag(std::string& out, std::string_view name) {
  out += "</";
  out += name;
  out += '>';
}

void Scanner::Stop() {
  stopped_ = true;
  XML_StopParser(parser_, XML_FALSE);
}

Scanner::OpenElement Scanner::Classify(XmlNamespace ns, std::string_view local) const {
  OpenElement element{};
  if (stack_.empty()) {
    element.inside = Place::kOutsideSheet;
    return element;
  }
  const OpenElement& parent = stack_.back();
  const bool in_table = ns == XmlNamespace::kTable;
  switch (parent.inside) {
    case Place::kOutsideSheet:
      element.is_office_body = stack_.size() == 1 && ns == XmlNamespace::kOffice && local == "body";
      element.is_spreadsheet =
          parent.is_office_body && ns == XmlNamespace::kOffice && local == "spreadsheet";
      element.is_sheet = parent.is_spreadsheet && in_table && local == "table";
      element.inside = element.is_sheet ? Place::kInSheet : Place::kOutsideSheet;
      break;
    case Place::kInSheet:
      element.is_row = in_table && local == "table-row";
      if (element.is_row) {
        element.inside = Place::kInRow;
      } else if (in_table && (local == "table-row-group" || local == "table-header-rows" ||
                              local == "table-rows")) {
        element.inside = Place::kInSheet;
      } else {
        element.inside = Place::kInSheetOther;
      }
      break;
    case Place::kInSheetOther:
      element.inside = Place::kInSheetOther;
      break;
    case Place::kInRow:
      element.is_cell = in_table && (local == "table-cell" || local == "covered-table-cell");
      element.inside = Place::kInCell;
      break;
    case Place::kInCell:
      element.inside = Place::kInCell;
      break;
  }
  return element;
}

bool Scanner::IsSafeInside(Place place) const {
  switch (place) {
    case Place::kOutsideSheet:
      return true;
    case Place::kInSheet:
    case Place::kInSheetOther:
      // Once a sheet has a complete row, it is cut only at the end of a row.
      return rows_in_sheet_ == 0;
    case Place::kInRow:
    case Place::kInCell:
      return false;
  }
  return false;
}

void Scanner::MarkSafe(uint64_t offset) {
  have_safe_ = true;
  safe_offset_ = offset;
  shared_depth_ = stack_.size();
  saved_closing_tags_.clear();
  safe_rows_ = rows_total_;
}

void Scanner::Pop() {
  const size_t index = stack_.size() - 1;
  // Leaving an element that was open at the safe boundary: keep its end tag for the cut.
  if (index < shared_depth_) {
    AppendEndTag(saved_closing_tags_, NameOf(index));
    shared_depth_ = index;
  }
  bindings_.RestoreTo(stack_[index].bindings_mark);
  open_names_.resize(stack_[index].name_begin);
  stack_.pop_back();
}

std::string Scanner::ClosingTags() const {
  std::string tags = saved_closing_tags_;
  for (size_t index = shared_depth_; index-- > 0;) AppendEndTag(tags, NameOf(index));
  return tags;
}

void Scanner::OnStart(const char* name, const char** attributes) {
  if (stopped_) return;
  const std::string_view qualified(name);
  if (stack_.size() >= limits_.max_depth ||
      open_names_.size() + qualified.size() > limits_.max_open_name_bytes) {
    Stop();
    return;
  }
  const size_t bindings_mark = bindings_.Mark();
  for (const char** attribute = attributes; *attribute != nullptr; attribute += 2) {
    const std::optional<std::string_view> prefix = DeclaredPrefix(attribute[0]);
    if (prefix &&
        !bindings_.Bind(*prefix, ClassifyNamespace(attribute[1]), limits_.max_namespace_bindings)) {
      Stop();
      return;
    }
  }
  const QualifiedName split = Split(qualified);
  const XmlNamespace ns = bindings_.Resolve(split.prefix);
  const XmlAttributes view(attributes, bindings_);

  OpenElement element = Classify(ns, split.local);
  element.name_begin = open_names_.size();
  element.bindings_mark = bindings_mark;
  if (stack_.empty()) {
    result_.root_ns = ns;
    result_.root_local = split.local;
    if (auto version = view.Find(XmlNamespace::kOffice, "version")) {
      result_.office_version = *version;
    }
  } else if (stack_.back().is_office_body && result_.body_kind.empty() &&
             ns == XmlNamespace::kOffice) {
    result_.body_kind = split.local;
  }
  if (element.is_spreadsheet) spreadsheet_ = true;
  if (element.is_sheet) rows_in_sheet_ = 0;
  stack_.push_back(element);
  open_names_ += qualified;

  if (observer_ != nullptr) observer_->OnStartTag(stack_.size(), ns, split.local, view);

  last_event_end_ = EventEnd();
  if (IsSafeInside(element.inside)) MarkSafe(last_event_end_);
}

void Scanner::OnEnd() {
  if (stopped_ || stack_.empty()) return;
  const OpenElement top = stack_.back();
  // For an empty-element tag expat reports the end with no bytes of its own, at the tag's end.
  const int count = XML_GetCurrentByteCount(parser_);
  if (stack_.size() == 1 && count > 0) {
    result_.root_end_tag_offset = static_cast<uint64_t>(XML_GetCurrentByteIndex(parser_));
  }
  last_event_end_ = EventEnd();

  bool safe;
  if (top.is_row) {
    ++rows_in_sheet_;
    ++rows_total_;
    safe = true;
  } else if (top.is_cell) {
    safe = rows_in_sheet_ == 0;  // the first row of a sheet is kept cell by cell
  } else {
    safe =
        IsSafeInside(stack_.size() >= 2 ? stack_[stack_.size() - 2].inside : Place::kOutsideSheet);
  }
  Pop();
  if (safe) MarkSafe(last_event_end_);
}

bool Scanner::EncodingAllowsCut() const {
  // The kept bytes stay as they are and the end tags are appended in UTF-8, which only fits a
  // part in UTF-8 or plain ASCII.
  if (utf16_) return false;
  return declared_encoding_.empty() || EqualsIgnoringAsciiCase(declared_encoding_, "UTF-8") ||
         EqualsIgnoringAsciiCase(declared_encoding_, "US-ASCII");
}

XmlScanResult Scanner::Finish(XmlScanResult::Verdict verdict) {
  result_.verdict = verdict;
  return std::move(result_);
}

XmlScanResult Scanner::Damaged() {
  const XML_Error error = XML_GetErrorCode(parser_);
  // A part in an encoding expat does not know may be sound all the same.
  if (error == XML_ERROR_UNKNOWN_ENCODING || error == XML_ERROR_INCORRECT_ENCODING) {
    return Finish(XmlScanResult::Verdict::kNotCompletable);
  }
  if (!have_safe_) return Finish(XmlScanResult::Verdict::kNothingToKeep);
  if (!EncodingAllowsCut() || declares_entities_) {
    return Finish(XmlScanResult::Verdict::kNotCompletable);
  }
  result_.keep_bytes = safe_offset_;
  result_.closing_tags = ClosingTags();
  result_.rows_kept = spreadsheet_ ? safe_rows_ : -1;
  result_.root_end_tag_offset.reset();
  return Finish(XmlScanResult::Verdict::kCompletable);
}

XmlScanResult Scanner::Run(platform::File& part) {
  if (parser_ == nullptr) return Finish(XmlScanResult::Verdict::kBeyondLimits);
  XML_SetUserData(parser_, this);
  XML_SetElementHandler(parser_, StartElement, EndElement);
  XML_SetCharacterDataHandler(parser_, OtherEvent);
  XML_SetCommentHandler(parser_, OtherMarkup);
  XML_SetProcessingInstructionHandler(parser_, OtherInstruction);
  XML_SetXmlDeclHandler(parser_, Declaration);
  XML_SetEntityDeclHandler(parser_, EntityDeclaration);

  uint64_t fed = 0;
  for (;;) {
    void* buffer = XML_GetBuffer(parser_, static_cast<int>(kBlockSize));
    if (buffer == nullptr) return Finish(XmlScanResult::Verdict::kBeyondLimits);
    const int64_t read = platform::ReadAt(part, static_cast<int64_t>(fed), buffer, kBlockSize);
    if (read < 0) return Finish(XmlScanResult::Verdict::kReadFailed);
    if (fed == 0) utf16_ = LooksLikeUtf16(static_cast<const unsigned char*>(buffer), read);
    const bool last = read == 0;
    const XML_Status status = XML_ParseBuffer(parser_, static_cast<int>(read), last);
    fed += static_cast<uint64_t>(read);
    if (stopped_) return Finish(XmlScanResult::Verdict::kBeyondLimits);
    if (status != XML_STATUS_OK) return Damaged();
    if (last) break;
    // expat holds back the bytes of a token it has not finished; bound what it may hold.
    if (fed - last_event_end_ > limits_.max_token_bytes) {
      return Finish(XmlScanResult::Verdict::kBeyondLimits);
    }
  }
  result_.rows_kept = spreadsheet_ ? rows_total_ : -1;
  return Finish(XmlScanResult::Verdict::kWellFormed);
}

}  // namespace

XmlScanResult ScanXmlPart(platform::File& part, const XmlScanLimits& limits,
                          XmlStartTagObserver* observer) {
  Scanner scanner(limits, observer);
  return scanner.Run(part);
}

}  // namespace vellomir::completion
