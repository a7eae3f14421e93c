// The completion of damaged parts, on small hand-made packages in a scratch workspace.
#include "salvage/part_completion.h"

#include <expat.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/faulty_file_system.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ListFilesRecursively;
using testing::MakeFolders;
using testing::ReadFile;
using testing::TempDir;
using testing::U16;
using testing::U8;
using Action = CompletedPart::Action;

constexpr char kSpreadsheetType[] = "application/vnd.oasis.opendocument.spreadsheet";

// A content.xml as LibreOffice writes it, shortened: the root with its namespaces, the body, one
// sheet per Sheet() call, each row with a number cell and a text cell.
const std::string kContentHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<office:document-content"
    " xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\""
    " xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\""
    " xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.3\">"
    "<office:automatic-styles/><office:body><office:spreadsheet>";
const std::string kContentTail = "</office:spreadsheet></office:body></office:document-content>";
const std::string kCloseSheet = "</table:table>" + kContentTail;

std::string Cell(int n) {
  return "<table:table-cell office:value-type=\"float\" office:value=\"" + std::to_string(n) +
         "\"><text:p>" + std::to_string(n) + "</text:p></table:table-cell>";
}
std::string TextCell(const std::string& text) {
  return "<table:table-cell office:value-type=\"string\"><text:p>" + text +
         "</text:p></table:table-cell>";
}
std::string Row(int n) {
  return "<table:table-row table:style-name=\"ro1\">" + Cell(n) +
         TextCell("caf\xC3\xA9 " + std::to_string(n)) + "</table:table-row>";
}
std::string SheetStart(const std::string& name) {
  return "<table:table table:name=\"" + name +
         "\"><table:table-column table:number-columns-repeated=\"2\"/>";
}
std::string Rows(int first, int last) {
  std::string rows;
  for (int n = first; n <= last; ++n) rows += Row(n);
  return rows;
}
std::string Sheet(const std::string& name, int rows) {
  return SheetStart(name) + Rows(1, rows) + "</table:table>";
}

// Well-formed with namespaces: every prefix declared, as office programs read their parts.
bool IsWellFormed(const std::string& xml) {
  XML_Parser parser = XML_ParserCreateNS(nullptr, ' ');
  const bool ok = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

// A scratch workspace with a helper per member.
class WorkspaceTest : public ::testing::Test {
 protected:
  void Put(const std::string& member, const std::string& bytes) {
    const size_t slash = member.rfind('/');
    if (slash != std::string::npos) MakeFolders(dir_ / member.substr(0, slash));
    ASSERT_TRUE(testing::WriteFile(dir_ / member, bytes));
  }
  std::string Get(const std::string& member) { return ReadFile(dir_ / member).value_or("<none>"); }
  bool Has(const std::string& member) { return testing::Exists(dir_ / member); }
  std::vector<std::string> Files() { return ListFilesRecursively(dir_.path()); }

  // A package that needs nothing but `content`.
  void PutPackage(const std::string& content) {
    Put("mimetype", kSpreadsheetType);
    Put("content.xml", content);
    Put("styles.xml", "<office:document-styles/>");
    Put("META-INF/manifest.xml", Manifest({"content.xml", "styles.xml"}));
  }

  static std::string Manifest(const std::vector<std::string>& paths) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest "
        "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
        "manifest:version=\"1.3\">\n <manifest:file-entry manifest:full-path=\"/\" "
        "manifest:version=\"1.3\" manifest:media-type=\"" +
        std::string(kSpreadsheetType) + "\"/>\n";
    for (const std::string& path : paths) {
      text += " <manifest:file-entry manifest:full-path=\"" + path +
              "\" manifest:media-type=\"text/xml\"/>\n";
    }
    return text + "</manifest:manifest>";
  }

  CompletionResult Complete(const std::string& source = "/home/me/Book.ods") {
    return CompleteDamagedParts(dir_.u16() + u"/", U16(source));
  }

  TempDir dir_;
};

// ---------------------------------------------------------------------------------------------
// Where a damaged part is cut: `kept` is what must stay of it, `damage` what follows in the part,
// `closing` the end tags that must follow what stays.
struct CutCase {
  const char* name;
  std::string kept;
  std::string damage;
  std::string closing;
  int64_t rows;
};

std::vector<CutCase> CutCases() {
  const std::string two_rows = kContentHead + SheetStart("S") + Rows(1, 2);
  return {
      {"InsideStartTag", two_rows, "<table:table-row><table:table-ce", kCloseSheet, 2},
      {"InsideAttributeValue", two_rows,
       "<table:table-row><table:table-cell office:value-type=\"flo", kCloseSheet, 2},
      {"InsideText", two_rows, "<table:table-row>" + Cell(3) + "<table:table-cell><text:p>par",
       kCloseSheet, 2},
      {"InsideComment", two_rows, "<table:table-row>" + Cell(3) + "<!-- a note that never en",
       kCloseSheet, 2},
      {"InsideCdata", two_rows, "<table:table-row><table:table-cell><text:p><![CDATA[a < b",
       kCloseSheet, 2},
      {"InsideEndTag", two_rows, "<table:table-row>" + Cell(3) + TextCell("x") + "</table:tab",
       kCloseSheet, 2},
      {"AfterCompleteRow", two_rows, "", kCloseSheet, 2},
      // A flipped bit makes an end tag that matches no start tag; random bytes, invalid UTF-8.
      {"FlippedBitInEndTag", two_rows,
       "<table:table-row>" + Cell(3) + "</table:table-rov>" + Rows(4, 5), kCloseSheet, 2},
      {"RandomBytesInText", two_rows,
       "<table:table-row>" + Cell(3) + "<table:table-cell><text:p>\xFF\x9A\x10" + Rows(4, 5),
       kCloseSheet, 2},
      {"InMultiByteCharacter", two_rows,
       "<table:table-row>" + Cell(3) + "<table:table-cell><text:p>caf\xC3", kCloseSheet, 2},
      {"ZeroFilledTail", two_rows + Row(3), std::string(4096, '\0'), kCloseSheet, 3},
      {"ZeroedBlockBeforeMoreRows", two_rows,
       "<table:table-row>" + Cell(3) + std::string(4096, '\0') + Rows(4, 6), kCloseSheet, 2},
      // The first row is kept cell by cell; without a whole cell the sheet keeps no row.
      {"InFirstRowAfterCompleteCell",
       kContentHead + SheetStart("S") + "<table:table-row>" + Cell(1),
       "<table:table-cell><text:p>ha", "</table:table-row>" + kCloseSheet, 0},
      {"InFirstCellOfFirstRow", kContentHead + SheetStart("S"),
       "<table:table-row><table:table-cell><text:p>1</te", kCloseSheet, 0},
      {"InSheetStartTag", kContentHead + Sheet("First", 2), "<table:table table:na", kContentTail,
       2},
      // Sheets before the damaged one stay whole.
      {"InSecondSheet", kContentHead + Sheet("First", 3) + SheetStart("Second") + Rows(1, 2),
       "<table:table-row>" + Cell(3), kCloseSheet, 5},
      // A row group left before the damage is closed again; what follows the last row goes.
      {"AfterRowGroup", kContentHead + SheetStart("S") + "<table:table-row-group>" + Rows(1, 2),
       "</table:table-row-group><table:named-expressions><table:named-range table:na",
       "</table:table-row-group>" + kCloseSheet, 2},
      // Rows of a table inside a cell are no rows of the sheet.
      {"InTableInsideCell", two_rows,
       "<table:table-row><table:table-cell><table:table><table:table-row>" + Cell(9) +
           "</table:table-row><table:table-row><tab",
       kCloseSheet, 2},
      {"JunkAfterDocument", kContentHead + Sheet("S", 2) + kContentTail,
       std::string("\n\0\0junk", 7), "", 2},
      // Cut before the body: what stays is closed where it is.
      {"InAutomaticStyles",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document-content "
       "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
       "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\"><office:automatic-styles>"
       "<style:style style:name=\"co1\"/>",
       "<style:style style:na", "</office:automatic-styles></office:document-content>", -1},
  };
}

void PrintTo(const CutCase& c, std::ostream* out) {
  *out << c.name;
}

class CutTest : public WorkspaceTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutTest, KeepsTheSoundPrefixAndClosesIt) {
  const CutCase& cut = GetParam();
  PutPackage(cut.kept + cut.damage);

  const CompletionResult result = Complete();

  ASSERT_TRUE(result.odf_package);
  ASSERT_EQ(result.parts.size(), 1u);
  const CompletedPart& part = result.parts[0];
  EXPECT_EQ(part.name, u"content.xml");
  EXPECT_EQ(part.action, Action::kCompleted);
  EXPECT_EQ(part.bytes_kept, cut.kept.size());
  EXPECT_EQ(part.bytes_dropped, cut.damage.size());
  EXPECT_EQ(part.rows_kept, cut.rows);
  const std::string completed = Get("content.xml");
  EXPECT_EQ(completed, cut.kept + cut.closing);
  EXPECT_TRUE(IsWellFormed(completed));
}

INSTANTIATE_TEST_SUITE_P(Cuts, CutTest, ::testing::ValuesIn(CutCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkspaceTest, RowRuleFollowsTheNamespacesNotThePrefixes) {
  const std::string kept =
      "<o:document-content xmlns:o=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
      "xmlns:t=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\"><o:body><o:spreadsheet>"
      "<t:table><t:table-row><t:table-cell/></t:table-row>";
  // With its prefix bound to another namespace, this is no row of the sheet.
  const std::string damage = "<table:table-row xmlns:table=\"urn:other\"/><t:tab";
  PutPackage(kept + damage);

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 1u);
  EXPECT_EQ(result.parts[0].rows_kept, 1);
  EXPECT_EQ(Get("content.xml"), kept + "</t:table></o:spreadsheet></o:body></o:document-content>");
}

TEST_F(WorkspaceTest, TextDocumentIsCutAtTheLastElementBoundary) {
  const std::string kept =
      "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\""
      " xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\"><office:body><office:text>"
      "<text:p>Hello</text:p><text:p>";
  Put("mimetype", "application/vnd.oasis.opendocument.text");
  Put("content.xml", kept + "wor");

  const CompletionResult result = Complete("Letter.odt");

  ASSERT_EQ(result.parts.size(), 2u);  // and the manifest, which is missing
  EXPECT_EQ(result.parts[0].action, Action::kCompleted);
  EXPECT_EQ(result.parts[0].rows_kept, -1);
  EXPECT_EQ(Get("content.xml"),
            kept + "</text:p></office:text></office:body></office:document-content>");
}

// The offsets run on across the reader's blocks: a part of several hundred KiB is cut at the
// last row before the damage, with a multi-byte character on a block boundary.
TEST_F(WorkspaceTest, LongPartIsCutAtTheLastCompleteRow) {
  std::string kept = kContentHead + SheetStart("Long");
  int rows = 0;
  while (kept.size() < 300 * 1024) kept += Row(++rows);
  // Move the first "é" after 128 KiB so that its two bytes straddle the block boundary.
  const size_t boundary = 128 * 1024;
  const size_t accent = kept.rfind("\xC3\xA9", boundary - 2);
  ASSERT_NE(accent, std::string::npos);
  kept.insert(accent, std::string(boundary - 1 - accent, ' '));
  ASSERT_EQ(kept.substr(boundary - 1, 2), "\xC3\xA9");
  PutPackage(kept + "<table:table-row>" + Cell(0) + "\x01");

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 1u);
  EXPECT_EQ(result.parts[0].rows_kept, rows);
  EXPECT_EQ(result.parts[0].bytes_kept, kept.size());
  EXPECT_EQ(Get("content.xml"), kept + kCloseSheet);
}

TEST_F(WorkspaceTest, SoundPackageIsLeftByteForByte) {
  const std::string content = kContentHead + Sheet("S", 3) + kContentTail;
  PutPackage(content);
  Put("settings.xml", "<office:document-settings/>");
  Put("Object 1/content.xml", "<math xmlns=\"http://www.w3.org/1998/Math/MathML\"/>");
  // An unbound prefix is not well-formed with namespaces, but office programs read it.
  Put("meta.xml", "<office:document-meta><dc:title>x</dc:title></office:document-meta>");
  Put("META-INF/manifest.xml", Manifest({"content.xml", "styles.xml", "settings.xml", "meta.xml",
                                         "Object 1/content.xml", "Thumbnails/absent.png"}));
  const std::vector<std::string> files = Files();

  const CompletionResult result = Complete();

  EXPECT_TRUE(result.odf_package);
  EXPECT_TRUE(result.parts.empty());
  EXPECT_EQ(Files(), files);
  EXPECT_EQ(Get("content.xml"), content);
  EXPECT_EQ(Get("mimetype"), kSpreadsheetType);
}

TEST_F(WorkspaceTest, CompletedPartKeepsItsReadOnlyAttributeAndTimes) {
  const std::string kept = kContentHead + SheetStart("S") + Rows(1, 2);
  PutPackage(kept + "<table:tab");
  const std::string path = dir_ / "content.xml";
  const utimbuf times{1600000000, 1500000000};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 1u);
  EXPECT_EQ(result.parts[0].action, Action::kCompleted);
  EXPECT_EQ(Get("content.xml"), kept + kCloseSheet);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  EXPECT_EQ(st.st_mtime, 1500000000);
  EXPECT_EQ(Files(), (std::vector<std::string>{"META-INF/manifest.xml", "content.xml", "mimetype",
                                               "styles.xml"}));
}

TEST_F(WorkspaceTest, PartsOfEmbeddedObjectsAreCompletedToo) {
  PutPackage(kContentHead + Sheet("S", 1) + kContentTail);
  const std::string chart =
      "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\">"
      "<office:body><office:chart>";
  Put("Object 1/content.xml", chart + "<chart:cha");
  Put("META-INF/manifest.xml", Manifest({"content.xml", "styles.xml", "Object 1/content.xml"}));

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 1u);
  EXPECT_EQ(result.parts[0].name, u"Object 1/content.xml");
  EXPECT_EQ(result.parts[0].action, Action::kCompleted);
  EXPECT_EQ(Get("Object 1/content.xml"),
            chart + "</office:chart></office:body></office:document-content>");
}

// A part that broke off inside its root's start tag holds nothing, and office programs refuse
// the whole document for it; without it they open the rest.
TEST_F(WorkspaceTest, PartWithoutAWholeRootStartTagIsRemoved) {
  const std::string content = kContentHead + Sheet("S", 1) + kContentTail;
  PutPackage(content);
  const std::string styles = "<?xml version=\"1.0\"?><office:document-styles xmlns:office=\"urn:oa";
  Put("styles.xml", styles);
  Put("settings.xml", "");
  Put("META-INF/manifest.xml", Manifest({"content.xml", "styles.xml", "settings.xml"}));
  const std::string manifest = Get("META-INF/manifest.xml");

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 2u);
  EXPECT_EQ(result.parts[0].name, u"settings.xml");
  EXPECT_EQ(result.parts[0].action, Action::kRemoved);
  EXPECT_EQ(result.parts[1].name, u"styles.xml");
  EXPECT_EQ(result.parts[1].action, Action::kRemoved);
  EXPECT_EQ(result.parts[1].bytes_dropped, styles.size());
  EXPECT_FALSE(Has("styles.xml"));
  EXPECT_FALSE(Has("settings.xml"));
  // A manifest that lists members that are gone is still accepted.
  EXPECT_EQ(Get("META-INF/manifest.xml"), manifest);
  EXPECT_EQ(Get("content.xml"), content);
}

TEST_F(WorkspaceTest, DamagedPartThatCannotBeCutSafelyIsLeftAsItIs) {
  const std::string latin1 =
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><office:document-styles><a>caf\xE9</a><b";
  const std::string entities = "<!DOCTYPE x [<!ENTITY e \"<a/>\">]><office:document-settings>&e;<b";
  PutPackage(kContentHead + Sheet("S", 1) + kContentTail);
  Put("styles.xml", latin1);
  Put("settings.xml", entities);

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 3u);  // and the manifest, which misses settings.xml
  EXPECT_EQ(result.parts[0].name, u"settings.xml");
  EXPECT_EQ(result.parts[0].action, Action::kLeftDamaged);
  EXPECT_EQ(result.parts[1].name, u"styles.xml");
  EXPECT_EQ(result.parts[1].action, Action::kLeftDamaged);
  EXPECT_EQ(result.parts[1].bytes_kept, latin1.size());
  EXPECT_EQ(Get("styles.xml"), latin1);
  EXPECT_EQ(Get("settings.xml"), entities);
}

// Open elements are bounded: a part nested deeper than 10,000 levels is not checked further and
// stays as it is; one just within the bound is completed.
TEST_F(WorkspaceTest, NestingBeyondTheBoundLeavesThePartAlone) {
  const auto nested = [](int depth) {
    std::string xml = "<document>";
    for (int i = 1; i < depth; ++i) xml += "<d>";
    return xml + "<broken";
  };
  PutPackage(nested(10000));
  Put("META-INF/manifest.xml", Manifest({"content.xml", "styles.xml", "Object 1/content.xml"}));
  Put("Object 1/content.xml", nested(10001));

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 1u);
  EXPECT_EQ(result.parts[0].name, u"content.xml");
  EXPECT_EQ(result.parts[0].action, Action::kCompleted);
  EXPECT_TRUE(IsWellFormed(Get("content.xml")));
  EXPECT_EQ(Get("Object 1/content.xml"), nested(10001));
}

TEST_F(WorkspaceTest, OtherContainersAreLeftAlone) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> members;
  };
  const std::vector<Case> cases = {
      {"another media type", {{"mimetype", "application/epub+zip"}, {"content.xml", "<a"}}},
      {"content.xml alone", {{"content.xml", "<a"}, {"notes.xml", "<b"}}},
      {"no content.xml", {{"styles.xml", "<a"}, {"meta.xml", "<b"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    for (const auto& [member, bytes] : c.members) testing::WriteFile(dir / member, bytes);

    const CompletionResult result = CompleteDamagedParts(dir.u16() + u"/", u"x.ods");

    EXPECT_FALSE(result.odf_package);
    EXPECT_TRUE(result.parts.empty());
    for (const auto& [member, bytes] : c.members) EXPECT_EQ(ReadFile(dir / member), bytes);
  }
}

// ---------------------------------------------------------------------------------------------
// The manifest.

TEST_F(WorkspaceTest, MissingManifestIsRebuiltFromTheMembersPresent) {
  Put("mimetype", kSpreadsheetType);
  Put("content.xml", kContentHead + Sheet("S", 1) + "<tab");
  Put("styles.xml", "<office:document-styles/>");
  Put("Pictures/a.PNG", "png");
  Put("Pictures/b.jpeg", "jpeg");
  Put("Thumbnails/thumbnail.png", "png");
  Put("ObjectReplacements/Object 1", "metafile");
  Put("Object 1/content.xml",
      "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\">"
      "<office:body><office:chart/></office:body></office:document-content>");
  Put("Object 2/content.xml", "<math xmlns=\"http://www.w3.org/1998/Math/MathML\"/>");
  Put("Configurations2/accelerator/current.xml", "<a/>");
  Put("Basic/script & <notes>", "?");
  Put("META-INF/documentsignatures.xml", "<a/>");
  Put("junk\xFF", "not listable");

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 2u);
  EXPECT_EQ(result.parts[1].name, u"META-INF/manifest.xml");
  EXPECT_EQ(result.parts[1].action, Action::kRebuilt);
  EXPECT_EQ(result.parts[1].bytes_dropped, 0u);
  const std::string manifest = Get("META-INF/manifest.xml");
  EXPECT_EQ(
      manifest,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\""
      " manifest:version=\"1.3\">\n"
      " <manifest:file-entry manifest:full-path=\"/\" manifest:version=\"1.3\""
      " manifest:media-type=\"application/vnd.oasis.opendocument.spreadsheet\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Basic/script &amp; &lt;notes&gt;\""
      " manifest:media-type=\"\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Configurations2/\""
      " manifest:media-type=\"application/vnd.sun.xml.ui.configuration\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Configurations2/accelerator/current.xml\""
      " manifest:media-type=\"text/xml\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Object 1/\""
      " manifest:media-type=\"application/vnd.oasis.opendocument.chart\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Object 1/content.xml\""
      " manifest:media-type=\"text/xml\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Object 2/\""
      " manifest:media-type=\"application/vnd.oasis.opendocument.formula\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Object 2/content.xml\""
      " manifest:media-type=\"text/xml\"/>\n"
      " <manifest:file-entry manifest:full-path=\"ObjectReplacements/Object 1\""
      " manifest:media-type=\"application/x-openoffice-gdimetafile;"
      "windows_formatname=&quot;GDIMetaFile&quot;\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Pictures/a.PNG\""
      " manifest:media-type=\"image/png\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Pictures/b.jpeg\""
      " manifest:media-type=\"image/jpeg\"/>\n"
      " <manifest:file-entry manifest:full-path=\"Thumbnails/thumbnail.png\""
      " manifest:media-type=\"image/png\"/>\n"
      " <manifest:file-entry manifest:full-path=\"content.xml\""
      " manifest:media-type=\"text/xml\"/>\n"
      " <manifest:file-entry manifest:full-path=\"styles.xml\""
      " manifest:media-type=\"text/xml\"/>\n"
      "</manifest:manifest>\n");
  EXPECT_TRUE(IsWellFormed(manifest));
}

struct ManifestCase {
  const char* name;
  std::string manifest;
  std::string expected;  // "" when the manifest must be written afresh
  uint64_t kept;
};

const std::string kManifestOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest "
    "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\">\n";
const std::string kRootEntry =
    " <manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"" +
    std::string(kSpreadsheetType) + "\"/>\n";
const std::string kContentEntry =
    " <manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>\n";
const std::string kStylesEntry =
    " <manifest:file-entry manifest:full-path=\"styles.xml\" manifest:media-type=\"text/xml\"/>\n";
const std::string kManifestClose = "</manifest:manifest>";

std::vector<ManifestCase> ManifestCases() {
  const std::string lacking = kManifestOpen + kRootEntry + kContentEntry;
  // The manifest namespace as the default one; attributes need a prefix all the same.
  const std::string declared =
      "<manifest xmlns=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
      "xmlns:m=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\">\n"
      " <file-entry m:full-path=\"/\" m:media-type=\"" +
      std::string(kSpreadsheetType) +
      "\"/>\n"
      " <file-entry m:full-path=\"content.xml\" m:media-type=\"text/xml\"/>\n";
  return {
      {"CutShort", kManifestOpen + kRootEntry + " <manifest:file-entry manifest:full-pa", "", 0},
      {"NotAManifest", "<manifest/>", "", 0},
      {"EmptyRootElement",
       "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:"
       "xmlns:manifest:1.0\"/>",
       "", 0},
      // Entries are added before the root's end tag; every byte already there stays.
      {"LacksAMember", lacking + kManifestClose, lacking + kStylesEntry + kManifestClose,
       (lacking + kManifestClose).size()},
      {"LacksTheRootEntry", kManifestOpen + kContentEntry + kStylesEntry + kManifestClose,
       kManifestOpen + kContentEntry + kStylesEntry + kRootEntry + kManifestClose,
       (kManifestOpen + kContentEntry + kStylesEntry + kManifestClose).size()},
      {"LacksAMemberWithDefaultNamespace", declared + "</manifest>",
       declared +
           " <manifest:file-entry xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:"
           "manifest:1.0\" manifest:full-path=\"styles.xml\" manifest:media-type=\"text/xml\"/>\n"
           "</manifest>",
       (declared + "</manifest>").size()},
  };
}

void PrintTo(const ManifestCase& c, std::ostream* out) {
  *out << c.name;
}

class ManifestTest : public WorkspaceTest, public ::testing::WithParamInterface<ManifestCase> {};

TEST_P(ManifestTest, BrokenManifestIsRepaired) {
  const ManifestCase& c = GetParam();
  PutPackage(kContentHead + Sheet("S", 1) + kContentTail);
  Put("META-INF/manifest.xml", c.manifest);

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 1u);
  EXPECT_EQ(result.parts[0].name, u"META-INF/manifest.xml");
  EXPECT_EQ(result.parts[0].action, Action::kRebuilt);
  EXPECT_EQ(result.parts[0].bytes_kept, c.kept);
  EXPECT_EQ(result.parts[0].bytes_kept + result.parts[0].bytes_dropped, c.manifest.size());
  const std::string manifest = Get("META-INF/manifest.xml");
  EXPECT_TRUE(IsWellFormed(manifest));
  if (c.expected.empty()) {
    EXPECT_EQ(manifest,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest "
              "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
              "manifest:version=\"1.3\">\n <manifest:file-entry manifest:full-path=\"/\" "
              "manifest:version=\"1.3\" manifest:media-type=\"" +
                  std::string(kSpreadsheetType) + "\"/>\n" + kContentEntry + kStylesEntry +
                  "</manifest:manifest>\n");
  } else {
    EXPECT_EQ(manifest, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Manifests, ManifestTest, ::testing::ValuesIn(ManifestCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The mimetype member.

struct MimetypeCase {
  const char* name;
  std::optional<std::string> mimetype;       // none: missing
  std::optional<std::string> manifest_type;  // the manifest's "/" entry; none: no manifest
  const char* source;
  std::string body;  // the office body's element
  std::string expected;
};

std::vector<MimetypeCase> MimetypeCases() {
  const std::string text = "application/vnd.oasis.opendocument.text";
  return {
      {"FromTheManifest", std::nullopt, text, "Book.ods", "office:spreadsheet", text},
      {"FromTheExtension", std::nullopt, std::nullopt, "/a/REPORT.OTT", "office:text",
       "application/vnd.oasis.opendocument.text-template"},
      {"FromTheContent", std::nullopt, std::nullopt, "upload.bin", "office:spreadsheet",
       kSpreadsheetType},
      {"RunOnIntoOtherBytes",
       std::string(kSpreadsheetType) + std::string("PK\x03\x04\x14\0junk", 10), text, "Book.ods",
       "office:spreadsheet", text},
  };
}

void PrintTo(const MimetypeCase& c, std::ostream* out) {
  *out << c.name;
}

class MimetypeTest : public WorkspaceTest, public ::testing::WithParamInterface<MimetypeCase> {};

TEST_P(MimetypeTest, LostMimetypeIsRebuilt) {
  const MimetypeCase& c = GetParam();
  if (c.mimetype) Put("mimetype", *c.mimetype);
  if (c.manifest_type) {
    Put("META-INF/manifest.xml",
        kManifestOpen + " <manifest:file-entry manifest:full-path=\"/\" manifest:media-type=\"" +
            *c.manifest_type + "\"/>\n" + kContentEntry + kStylesEntry + kManifestClose);
  }
  Put("content.xml",
      "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:"
      "xmlns:office:1.0\"><office:body><" +
          c.body + "/></office:body></office:document-content>");
  Put("styles.xml", "<office:document-styles/>");

  const CompletionResult result = Complete(c.source);

  ASSERT_TRUE(result.odf_package);
  ASSERT_FALSE(result.parts.empty());
  const CompletedPart& part = result.parts.back();
  EXPECT_EQ(part.name, u"mimetype");
  EXPECT_EQ(part.action, Action::kRebuilt);
  EXPECT_EQ(part.bytes_dropped, c.mimetype ? c.mimetype->size() : 0u);
  EXPECT_EQ(Get("mimetype"), c.expected);
  if (!c.manifest_type) {
    EXPECT_NE(Get("META-INF/manifest.xml")
                  .find("manifest:full-path=\"/\" manifest:media-type=\"" + c.expected + "\""),
              std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Mimetypes, MimetypeTest, ::testing::ValuesIn(MimetypeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A file system that refuses to create files, as a full disk does.
TEST_F(WorkspaceTest, PartThatCannotBeRewrittenIsReportedAndLeftAsItWas) {
  const std::string damaged = kContentHead + SheetStart("S") + Rows(1, 2) + "<tab";
  PutPackage(damaged);
  std::remove((dir_ / "mimetype").c_str());
  testing::ScopedFaults faults;
  faults.faults.refuse_create = {"/"};

  const CompletionResult result = Complete();

  ASSERT_EQ(result.parts.size(), 2u);
  EXPECT_EQ(result.parts[0].action, Action::kLeftDamaged);
  EXPECT_EQ(result.parts[0].bytes_kept, damaged.size());
  EXPECT_EQ(result.parts[1].name, u"mimetype");
  EXPECT_EQ(result.parts[1].action, Action::kLeftDamaged);
  EXPECT_EQ(Get("content.xml"), damaged);
  EXPECT_EQ(Files(),
            (std::vector<std::string>{"META-INF/manifest.xml", "content.xml", "styles.xml"}));
}

}  // namespace
}  // namespace vellomir
