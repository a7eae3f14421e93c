// The command-line front end, run as a program: arguments, exit status, the log on standard
// output and in --log, Ctrl+C, and the JSON report.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using testing::ZipBuilder;

struct ToolRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs vellomir-repair with `arguments`; `on_output` sees standard output as it arrives and gets
// the child's process id, to send it signals.
ToolRun RunTool(const std::vector<std::string>& arguments,
                const std::function<void(const std::string&, pid_t)>& on_output = {}) {
  int out_pipe[2];
  int err_pipe[2];
  ToolRun run;
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) return run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    std::vector<char*> argv{const_cast<char*>(VELLOMIR_REPAIR_BINARY)};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(VELLOMIR_REPAIR_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  char buffer[4096];
  for (ssize_t n; (n = ::read(out_pipe[0], buffer, sizeof buffer)) > 0;) {
    run.out.append(buffer, static_cast<size_t>(n));
    if (on_output) on_output(run.out, pid);
  }
  for (ssize_t n; (n = ::read(err_pipe[0], buffer, sizeof buffer)) > 0;) {
    run.err.append(buffer, static_cast<size_t>(n));
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

const std::string kContentHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
    "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
    "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" office:version=\"1.3\">"
    "<office:body><office:spreadsheet><table:table table:name=\"Sheet1\">";
const std::string kContentTail =
    "</table:table></office:spreadsheet></office:body></office:document-content>";

std::string Content(int rows) {
  std::string content = kContentHead;
  for (int i = 0; i < rows; ++i) {
    content += "<table:table-row><table:table-cell/><table:table-cell>" + std::to_string(i) +
               "</table:table-cell></table:table-row>";
  }
  return content + kContentTail;
}

ZipBuilder::Member Member(const std::string& name, const std::string& data, uint16_t method = 8) {
  ZipBuilder::Member member = ZipBuilder::Simple(name, data, method);
  member.descriptor = method == 8;
  return member;
}

const std::string kManifest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<manifest:manifest xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\">"
    "<manifest:file-entry manifest:full-path=\"/\" "
    "manifest:media-type=\"application/vnd.oasis.opendocument.spreadsheet\"/>"
    "<manifest:file-entry manifest:full-path=\"content.xml\" manifest:media-type=\"text/xml\"/>"
    "</manifest:manifest>";

// A sound spreadsheet package around `content`.
std::string Spreadsheet(const std::string& content) {
  ZipBuilder zip;
  zip.Add(Member("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0));
  zip.Add(Member("content.xml", content));
  zip.Add(Member("META-INF/manifest.xml", kManifest));
  zip.Finish();
  return zip.bytes();
}

std::string WithCrLf(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { output_ = out_.path() + "/"; }
  // Whatever a test does, the tool never changes a source document.
  void TearDown() override {
    for (const auto& [path, bytes] : source_bytes_) EXPECT_EQ(ReadFile(path), bytes) << path;
  }
  std::string Source(const std::string& name, const std::string& bytes) {
    const std::string path = sources_ / name;
    EXPECT_TRUE(WriteFile(path, bytes));
    source_bytes_[path] = bytes;
    return path;
  }
  testing::ScopedTempFolder temp_;  // the tool inherits TMPDIR
  TempDir sources_;
  TempDir out_;
  std::string output_;
  std::map<std::string, std::string> source_bytes_;
};

TEST_F(CliTest, AnswersUsageErrorsHelpAndVersion) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    const char* in_output;
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: vellomir-repair"},
      {{"--version"}, 0, "vellomir-repair 8.12.01"},
      {{}, 2, "no file given"},
      {{"--bogus", "x.ods"}, 2, "unknown option --bogus"},
      {{"-o"}, 2, "--output needs a value"},
      {{"-o", "/nonexistent/folder", "x.ods"}, 2, "is not a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
    const ToolRun run = RunTool(c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE((run.out + run.err).find(c.in_output), std::string::npos) << run.out << run.err;
  }
}

TEST_F(CliTest, PrintsTheLogAndExitsWithWhetherEveryFileGaveAResult) {
  const std::string good = Source("Good.ods", Spreadsheet(Content(50)));
  const std::string before = *ReadFile(good);
  const ToolRun ok = RunTool({"-o", output_, good});
  EXPECT_EQ(ok.status, 0) << ok.err;
  const std::string log =
      "Repairing process started\n"
      "==================================================================\n"
      "Processing File 1 of 1 \nFile Name : " +
      good +
      "\nOpening file..\nOpening file Done..\nExtracting file content..\n"
      "Extracting file content Done..\nMaking new file..\nMaking new file Done..\n"
      "Repaired file name : " +
      output_ + "REC_Good.ods\n";
  EXPECT_EQ(ok.out.substr(0, log.size()), log);
  EXPECT_NE(ok.out.find("The repairing process was completed successfully \n"), std::string::npos);
  EXPECT_EQ(ReadFile(good), before);

  const std::string missing = sources_ / "Missing.ods";
  const ToolRun partly = RunTool({"-o", output_, "--log", sources_ / "run.log", good, missing});
  EXPECT_EQ(partly.status, 1);
  const std::optional<std::string> exact = ReadFile(sources_ / "run.log");
  ASSERT_TRUE(exact);
  // The log file holds the log's exact text, every line ending in CR LF.
  EXPECT_EQ(*exact, WithCrLf(partly.out.substr(0, partly.out.find("File repair and saving"))));
  EXPECT_NE(partly.out.find("could not be repaired"), std::string::npos);
  EXPECT_NE(partly.out.find("REC_GOOD(1).ODS"), std::string::npos);
}

TEST_F(CliTest, RelativePathsAndTheDefaultOutputFolderAreTheCurrentFolder) {
  Source("Rel.ods", Spreadsheet(Content(5)));
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(sources_.path().c_str()), 0);
  const ToolRun run = RunTool({"Rel.ods"});
  ASSERT_EQ(::chdir(previous), 0);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("File Name : " + sources_ / "Rel.ods\n"), std::string::npos);
  EXPECT_TRUE(testing::Exists(sources_ / "REC_Rel.ods"));
}

// Files large enough that the run is still busy when the test interrupts it.
TEST_F(CliTest, CtrlCStopsAfterTheCurrentFileAndTwiceEndsAtOnce) {
  const std::string document = Spreadsheet(Content(200000));
  std::vector<std::string> arguments{"-o", output_};
  for (int i = 1; i <= 4; ++i)
    arguments.push_back(Source("big" + std::to_string(i) + ".ods", document));

  bool sent = false;
  const ToolRun stopped = RunTool(arguments, [&](const std::string& out, pid_t pid) {
    if (!sent && out.find("Processing File 1 of 4") != std::string::npos) {
      sent = true;
      ::kill(pid, SIGINT);
    }
  });
  EXPECT_EQ(stopped.status, 1);
  EXPECT_NE(stopped.out.find("Repaired file name : " + output_ + "REC_big1.ods"),
            std::string::npos);
  EXPECT_EQ(stopped.out.find("Processing File 2 of 4"), std::string::npos);
  EXPECT_NE(stopped.out.find("Saving abort by user\n"), std::string::npos);
  EXPECT_EQ(testing::ListFilesRecursively(out_.path()), std::vector<std::string>{"REC_big1.ods"});

  TempDir second_out;
  arguments[1] = second_out.path();
  sent = false;
  const ToolRun ended = RunTool(arguments, [&](const std::string& out, pid_t pid) {
    if (!sent && out.find("Extracting file content..") != std::string::npos) {
      sent = true;
      // Two signals sent at once would merge into one: the second follows once the first was
      // taken.
      ::kill(pid, SIGINT);
      ::usleep(50000);
      ::kill(pid, SIGINT);
    }
  });
  EXPECT_EQ(ended.status, 130);
  EXPECT_EQ(ended.out.find("Saving abort by user"), std::string::npos);
  // Nothing half written is left in the output folder, under any name.
  EXPECT_TRUE(testing::ListFilesRecursively(second_out.path()).empty());
}

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const size_t start = text.find(from);
  if (start == std::string::npos) return "";
  const size_t end = text.find(to, start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The member entry of `name` in the report, up to the next entry.
std::string MemberEntry(const std::string& report, const std::string& name) {
  return Between(report, "\"name\": \"" + name + "\"", "\n        },");
}

TEST_F(CliTest, TheReportSaysWhatWasKeptAndWhatWasLost) {
  const std::string content = Content(300);
  ZipBuilder zip;
  zip.Add(Member("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0));
  zip.Add(Member("styles.xml", kContentHead + kContentTail));
  ZipBuilder::Member refused = Member("settings.xml", "<settings/>");
  refused.payload = "";  // no data at all: the reader is given nothing to decode
  zip.Add(refused);
  std::string name_too_long(261, 'n');
  zip.Add(Member(name_too_long, "x", 0));
  const std::string picture = testing::TextRows(2000, 3);
  ZipBuilder::Member broken = Member("Pictures/broken.png", picture);
  const std::string compressed = testing::Deflate(picture);
  broken.payload = compressed.substr(0, compressed.size() / 2);  // its stream breaks off
  zip.Add(broken);
  zip.Add(Member("content.xml", content));
  std::string bytes = zip.bytes();
  // Cut inside content.xml's data (the manifest was never there), and the start of a header
  // whose name runs past the end of the file.
  bytes.resize(bytes.size() - 40);
  std::string unreadable = "PK\x03\x04" + std::string(22, '\0');
  testing::PutU16(unreadable, 100);  // name length
  testing::PutU16(unreadable, 0);
  bytes += unreadable + "short name";
  const std::string source = Source("Report.ods", bytes);
  const ToolRun run = RunTool({"-o", output_, "--report", sources_ / "report.json", source});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::optional<std::string> report = ReadFile(sources_ / "report.json");
  ASSERT_TRUE(report);
  EXPECT_NE(report->find("\"status\": \"repaired\""), std::string::npos);
  EXPECT_NE(report->find("\"result\": \"" + output_ + "REC_Report.ods\""), std::string::npos);
  struct Expected {
    std::string name;
    std::string fragment;
  };
  const Expected expected[] = {
      {"mimetype", "\"status\": \"whole\""},
      {"mimetype", "\"match\": true"},
      {"styles.xml", "\"status\": \"whole\""},
      {"settings.xml", "\"reason\": \"refused by the reader\""},
      {name_too_long, "\"reason\": \"passed over: name longer than 260 bytes\""},
      {"Pictures/broken.png", "\"status\": \"partial\""},
      {"content.xml", "\"status\": \"completed\""},
      {"content.xml", "\"end\": \"next signature\""},
      {"", "\"reason\": \"unreadable header\""},
      {"META-INF/manifest.xml", "\"status\": \"rebuilt\""},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name.substr(0, 20) + ": " + e.fragment);
    EXPECT_NE(MemberEntry(*report, e.name).find(e.fragment), std::string::npos) << *report;
  }
  EXPECT_NE(MemberEntry(*report, "content.xml").find("\"rows_kept\": 298"), std::string::npos)
      << MemberEntry(*report, "content.xml");
  if (std::system("python3 -c 'import json' 2>/dev/null") == 0) {
    EXPECT_EQ(std::system(("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " +
                           testing::ShellQuoted(sources_ / "report.json"))
                              .c_str()),
              0);
  }
}

// The kinds the first report test cannot show in one document: a folder entry, a member that a
// later one of its name replaced, one whose second copy could not be written over the first
// decoded one, a CRC-32 that differs, a false header inside a member confirmed whole, a part
// removed because nothing of it could be kept, and a header too close to the end to be tried.
TEST_F(CliTest, TheReportNamesEveryOtherKindOfMember) {
  ZipBuilder zip;
  zip.Add(Member("mimetype", "application/vnd.oasis.opendocument.spreadsheet", 0));
  zip.Add(Member("content.xml", Content(3)));
  zip.Add(Member("Pictures/", "", 0));
  zip.Add(Member("Pictures/twice.png", "the first version", 0));
  zip.Add(Member("Pictures/twice.png", "the second version", 0));
  zip.Add(Member("Thumbnails/thumbnail.png", "decoded first"));
  zip.Add(Member("Thumbnails/thumbnail.png", "decoded second"));
  ZipBuilder::Member damaged = Member("Pictures/damaged.png", "picture bytes", 0);
  damaged.header_crc = 0x12345678;
  zip.Add(damaged);
  // The bytes of a local header inside a member that its CRC-32 confirms whole.
  zip.Add(Member("Pictures/holder.bin", "data PK\x03\x04" + std::string(40, 'x') + " more", 0));
  zip.Add(Member("settings.xml",
                 "<office:document-settings "
                 "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\"",
                 0));
  zip.Raw("PK\x03\x04" + std::string(10, '\0'));
  const std::string source = Source("Kinds.ods", zip.bytes());
  const ToolRun run = RunTool({"-o", output_, "--report", sources_ / "kinds.json", source});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::optional<std::string> report = ReadFile(sources_ / "kinds.json");
  ASSERT_TRUE(report);

  // The entry of the second member named `name`.
  const auto second = [&](const std::string& name) {
    const std::string first = MemberEntry(*report, name);
    return MemberEntry(report->substr(report->find(first) + first.size()), name);
  };
  struct Expected {
    std::string what;
    std::string entry;
    std::string fragment;
  };
  const Expected expected[] = {
      {"folder", MemberEntry(*report, "Pictures/"), "\"status\": \"folder\""},
      {"replaced", MemberEntry(*report, "Pictures/twice.png"), "\"status\": \"superseded\""},
      {"replacing", second("Pictures/twice.png"), "\"status\": \"whole\""},
      {"decoded first", MemberEntry(*report, "Thumbnails/thumbnail.png"), "\"status\": \"whole\""},
      {"decoded second", second("Thumbnails/thumbnail.png"), "\"reason\": \"not written\""},
      {"damaged", MemberEntry(*report, "Pictures/damaged.png"), "\"status\": \"damaged\""},
      {"damaged crc", MemberEntry(*report, "Pictures/damaged.png"), "\"match\": false"},
      {"holder", MemberEntry(*report, "Pictures/holder.bin"), "\"status\": \"whole\""},
      {"removed", MemberEntry(*report, "settings.xml"), "\"status\": \"removed\""},
      {"inside", *report, "\"reason\": \"passed over: inside another member's data\""},
      {"too close", *report, "\"reason\": \"passed over: too close to the end\""},
  };
  for (const Expected& e : expected) {
    EXPECT_NE(e.entry.find(e.fragment), std::string::npos) << e.what << "\n" << *report;
  }
  EXPECT_NE(run.out.find("Part removed : settings.xml"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace vellomir
