// Completion end to end with LibreOffice: documents that LibreOffice itself wrote are damaged
// inside content.xml, completed, packed again, and must then open in LibreOffice without a repair
// and show, per sheet, exactly the rows of the source that lie wholly before the damage.
//
// Needs soffice and unzip on PATH; skips without them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "salvage/part_completion.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ListFilesRecursively;
using testing::ReadFile;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;

bool OnPath(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

bool Shell(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// A flat spreadsheet document with one sheet per entry of `sheets` (name, rows), for LibreOffice
// to turn into a package of its own making.
std::string FlatSpreadsheet(const std::vector<std::pair<std::string, int>>& sheets) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document "
      "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
      "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
      "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.3\" "
      "office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\"><office:body>"
      "<office:spreadsheet>";
  for (const auto& [name, rows] : sheets) {
    xml += "<table:table table:name=\"" + name + "\">";
    for (int row = 1; row <= rows; ++row) {
      const std::string n = std::to_string(row);
      xml += "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"" + n +
             "\"><text:p>" + n +
             "</text:p></table:table-cell>"
             "<table:table-cell office:value-type=\"string\"><text:p>caf\xC3\xA9 " +
             name + " " + n +
             " &amp; co</text:p></table:table-cell>"
             "<table:table-cell office:value-type=\"float\" office:value=\"" +
             n + ".25\"><text:p>" + n + ".25</text:p></table:table-cell></table:table-row>";
    }
    xml += "</table:table>";
  }
  return xml + "</office:spreadsheet></office:body></office:document>";
}

// Where the sheets of a LibreOffice content.xml lie, and where each of their rows ends.
struct SheetLayout {
  size_t start_tag_end;  // just after <table:table ...>
  size_t end;            // just after </table:table>
  std::vector<size_t> row_ends;
};

std::vector<SheetLayout> LayoutOf(const std::string& content) {
  std::vector<SheetLayout> sheets;
  for (size_t at = content.find("<table:table "); at != std::string::npos;
       at = content.find("<table:table ", at + 1)) {
    SheetLayout sheet;
    sheet.start_tag_end = content.find('>', at) + 1;
    sheet.end = content.find("</table:table>", at) + 14;
    const std::string row_end = "</table:table-row>";
    for (size_t row = content.find(row_end, at); row < sheet.end;
         row = content.find(row_end, row + 1)) {
      sheet.row_ends.push_back(row + row_end.size());
    }
    sheets.push_back(sheet);
  }
  return sheets;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.size() == 1 && lines[0].empty()) lines.clear();  // an empty sheet
  return lines;
}

// Packs a workspace as an OpenDocument package: mimetype first and stored, the rest deflated.
std::string Pack(const std::string& folder) {
  testing::ZipBuilder zip;
  std::vector<std::string> files = ListFilesRecursively(folder);
  std::stable_partition(files.begin(), files.end(),
                        [](const std::string& f) { return f == "mimetype"; });
  for (const std::string& file : files) {
    testing::ZipBuilder::Member member;
    member.name = file;
    member.data = ReadFile(folder + "/" + file).value_or("");
    member.method = file == "mimetype" ? 0 : 8;
    zip.Add(member);
  }
  zip.Finish();
  return zip.bytes();
}

struct Damage {
  const char* name;
  double at;           // where in content.xml, as a share of its size
  bool zero_block;     // 4 KiB of zeros there instead of a cut
  bool lose_manifest;  // META-INF/manifest.xml lost as well
  bool lose_mimetype;
};

constexpr Damage kDamages[] = {
    {"trunc10", 0.10, false, false, false},    {"trunc50", 0.50, false, false, false},
    {"trunc90", 0.90, false, false, false},    {"trunc97", 0.97, false, false, false},
    {"zero4k", 0.50, true, false, false},      {"trunc50-nomanifest", 0.50, false, true, false},
    {"trunc90-bare", 0.90, false, true, true},
};

TEST(CompletionWithLibreOffice, CompletedDocumentsOpenWithEveryRowBeforeTheDamage) {
  if (!OnPath("soffice") || !OnPath("unzip")) GTEST_SKIP() << "needs soffice and unzip";
  TempDir dir;
  const std::string soffice =
      "soffice --headless --norestore -env:UserInstallation=file://" + dir.path() + "/profile ";
  const std::map<std::string, std::vector<std::pair<std::string, int>>> sources = {
      {"rows200", {{"Data", 200}}},
      {"sheets", {{"Alpha", 40}, {"Beta", 300}, {"Gamma", 25}}},
  };
  std::string fods;
  for (const auto& [name, sheets] : sources) {
    ASSERT_TRUE(WriteFile(dir / (name + ".fods"), FlatSpreadsheet(sheets)));
    fods += " " + Quoted(dir / (name + ".fods"));
  }
  ASSERT_TRUE(Shell(soffice + "--convert-to ods --outdir " + Quoted(dir / "src") + fods + " >" +
                    Quoted(dir / "convert.log") + " 2>&1"));

  std::string to_export;
  std::map<std::string, std::vector<SheetLayout>> layouts;
  std::map<std::string, size_t> cuts;  // result name -> where its damage began
  for (const auto& [name, sheets] : sources) {
    const std::string package = dir / ("src/" + name + ".ods");
    const std::string unpacked = dir / ("unpacked/" + name);
    testing::MakeFolders(unpacked);
    ASSERT_TRUE(Shell("unzip -q -o " + Quoted(package) + " -d " + Quoted(unpacked)));
    const std::string content = ReadFile(unpacked + "/content.xml").value_or("");
    ASSERT_FALSE(content.empty());
    layouts[name] = LayoutOf(content);
    ASSERT_EQ(layouts[name].size(), sheets.size());
    to_export += " " + Quoted(package);

    for (const Damage& damage : kDamages) {
      const std::string result = name + "." + damage.name;
      const std::string workspace = dir / ("work/" + result);
      testing::MakeFolders(dir / "work");
      ASSERT_TRUE(Shell("cp -r " + Quoted(unpacked) + " " + Quoted(workspace)));
      const size_t at = static_cast<size_t>(damage.at * static_cast<double>(content.size()));
      std::string damaged = content.substr(0, at);
      if (damage.zero_block) damaged += std::string(4096, '\0') + content.substr(at + 4096);
      ASSERT_TRUE(WriteFile(workspace + "/content.xml", damaged));
      if (damage.lose_manifest) std::remove((workspace + "/META-INF/manifest.xml").c_str());
      if (damage.lose_mimetype) std::remove((workspace + "/mimetype").c_str());
      cuts[result] = at;

      const CompletionResult completion =
          CompleteDamagedParts(U16(workspace + "/"), U16(name + ".ods"));

      ASSERT_FALSE(completion.parts.empty()) << result;
      EXPECT_EQ(completion.parts[0].name, u"content.xml") << result;
      EXPECT_EQ(completion.parts[0].action, CompletedPart::Action::kCompleted) << result;
      testing::MakeFolders(dir / "results");
      ASSERT_TRUE(WriteFile(dir / ("results/" + result + ".ods"), Pack(workspace)));
      to_export += " " + Quoted(dir / ("results/" + result + ".ods"));
    }
  }

  // One CSV file per sheet ("<document>-<sheet>.csv"); a document LibreOffice will not open
  // without a repair gives none.
  ASSERT_TRUE(Shell(soffice +
                    "--convert-to 'csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,"
                    "false,false,-1' --outdir " +
                    Quoted(dir / "csv") + to_export + " >" + Quoted(dir / "export.log") + " 2>&1"));

  for (const auto& [result, cut] : cuts) {
    const std::string name = result.substr(0, result.find('.'));
    const std::vector<std::pair<std::string, int>>& sheets = sources.at(name);
    for (size_t i = 0; i < sheets.size(); ++i) {
      SCOPED_TRACE(result + ", sheet " + sheets[i].first);
      const SheetLayout& layout = layouts[name][i];
      const std::optional<std::string> shown =
          ReadFile(dir / ("csv/" + result + "-" + sheets[i].first + ".csv"));
      const std::vector<std::string> source =
          Lines(ReadFile(dir / ("csv/" + name + "-" + sheets[i].first + ".csv")).value_or(""));
      ASSERT_EQ(source.size(), static_cast<size_t>(sheets[i].second));
      if (cut < layout.start_tag_end) {
        EXPECT_FALSE(shown) << "a sheet after the damage";
        continue;
      }
      ASSERT_TRUE(shown) << "LibreOffice did not open the document, or lost the sheet";
      const size_t whole_rows = static_cast<size_t>(
          std::upper_bound(layout.row_ends.begin(), layout.row_ends.end(), cut) -
          layout.row_ends.begin());
      if (whole_rows == 0) continue;  // the first row is kept cell by cell
      const std::vector<std::string> expected(source.begin(), source.begin() + whole_rows);
      EXPECT_EQ(Lines(*shown), expected);
    }
  }
}

}  // namespace
}  // namespace vellomir
