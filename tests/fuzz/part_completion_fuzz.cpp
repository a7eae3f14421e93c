// Arbitrary bytes as the content.xml of a spreadsheet package, completed in place. A part that is
// well-formed, or that the completion leaves alone, keeps every byte; a completed one is the
// part's own prefix followed by end tags, and is well-formed (with namespaces too, whenever the
// kept prefix was); a rebuilt manifest is well-formed and lists what is there; the other parts
// are never touched.
#include <expat.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "platform/platform.h"
#include "salvage/part_completion.h"

namespace {

using vellomir::CompletedPart;
using vellomir::fuzz::Fail;

constexpr char kMimetype[] = "application/vnd.oasis.opendocument.spreadsheet";
constexpr char kStyles[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-styles "
    "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" office:version=\"1.3\"/>";

bool Write(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::optional<std::string> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Where a whole parse of `xml` fails, or nothing when it is well-formed. With `namespaces`, every
// prefix must be declared too, as office programs read their parts.
std::optional<uint64_t> ParseError(std::string_view xml, bool namespaces) {
  XML_Parser parser = namespaces ? XML_ParserCreateNS(nullptr, ' ') : XML_ParserCreate(nullptr);
  if (parser == nullptr) Fail("no parser");
  std::optional<uint64_t> error;
  if (XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE) != XML_STATUS_OK) {
    error = static_cast<uint64_t>(XML_GetCurrentByteIndex(parser));
  }
  XML_ParserFree(parser);
  return error;
}

void CheckCompleted(const CompletedPart& part, std::string_view input, const std::string& now) {
  if (part.bytes_kept + part.bytes_dropped != input.size()) Fail("kept and dropped do not add up");
  if (part.bytes_kept > now.size() ||
      now.compare(0, part.bytes_kept, input.substr(0, part.bytes_kept)) != 0) {
    Fail("the completed part is not the damaged part's prefix");
  }
  if (ParseError(now, false)) Fail("a completed part that is not well-formed");
  const std::optional<uint64_t> namespace_error = ParseError(input, true);
  if ((!namespace_error || *namespace_error >= part.bytes_kept) && ParseError(now, true)) {
    Fail("a completed part that lost its namespace declarations");
  }
}

}  // namespace

VELLOMIR_FUZZ_TARGET(PartCompletionInput) {
  using namespace vellomir;
  const std::string package = fuzz::ScratchFolder() + "/package";
  fuzz::RemoveTree(package);
  ::mkdir(package.c_str(), 0700);
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (!Write(package + "/mimetype", kMimetype) || !Write(package + "/styles.xml", kStyles) ||
      !Write(package + "/content.xml", input)) {
    Fail("cannot write the package");
  }

  const fuzz::ChangesOnlyBelow guard({package});
  const CompletionResult result =
      CompleteDamagedParts(platform::FromNative(package + "/"), u"Book.ods");
  guard.Check();
  if (!result.odf_package) Fail("a spreadsheet package not taken for one");

  const CompletedPart* content = nullptr;
  for (const CompletedPart& part : result.parts) {
    if (part.name == u"content.xml") content = &part;
    if (part.name == u"styles.xml" || part.name == u"mimetype") Fail("a sound part was changed");
  }
  const std::optional<std::string> now = Read(package + "/content.xml");
  if (content == nullptr || content->action == CompletedPart::Action::kLeftDamaged) {
    if (now != input) Fail("a part left alone was changed");
  } else if (content->action == CompletedPart::Action::kRemoved) {
    if (now) Fail("a removed part is still there");
  } else if (content->action == CompletedPart::Action::kCompleted) {
    if (!now) Fail("a completed part is gone");
    CheckCompleted(*content, input, *now);
  } else {
    Fail("content.xml rebuilt");
  }
  if (content != nullptr && !ParseError(input, false)) Fail("a well-formed part was touched");
  if (Read(package + "/styles.xml") != kStyles || Read(package + "/mimetype") != kMimetype) {
    Fail("a sound part was changed");
  }

  const std::optional<std::string> manifest = Read(package + "/META-INF/manifest.xml");
  if (!manifest || ParseError(*manifest, true)) Fail("the rebuilt manifest is not well-formed");
  if (now && manifest->find("manifest:full-path=\"content.xml\"") == std::string::npos) {
    Fail("the rebuilt manifest does not list content.xml");
  }
  return 0;
}
