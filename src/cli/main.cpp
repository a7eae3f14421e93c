// vellomir-repair: repairs damaged zip-based documents from the command line.
//
//   vellomir-repair [-o OUTPUT_FOLDER] [--log FILE] [--report FILE] [--no-complete] FILE...
//
// One batch run over the files, as the window runs it: the log goes to standard output line by
// line, each result is saved as "REC_" + the name in the output folder (the current folder by
// default), never over an existing file. Ctrl+C stops the run once the current file is done; a
// second Ctrl+C ends the program at once (a result not yet named is never left behind).
// Exit status: 0 when every file gave a result, 1 when some did not, 2 for a usage error.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/console_view.h"
#include "engine/repair_engine.h"

namespace vellomir::cli {
namespace {

constexpr int kExitAllRepaired = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

constexpr char kUsage[] =
    "Usage: vellomir-repair [OPTION]... FILE...\n"
    "Repairs damaged OpenDocument files (and other zip-based documents): every member that can\n"
    "still be read is salvaged and packed into a new file named REC_ + the file's name.\n"
    "\n"
    "  -o, --output FOLDER   save the repaired files in FOLDER (default: the current folder)\n"
    "      --log FILE        also write the exact log text, with CR LF line ends, to FILE\n"
    "      --report FILE     write a JSON report of what was kept and what was lost to FILE\n"
    "      --no-complete     leave damaged XML parts and a lost manifest as they were salvaged\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "Ctrl+C stops after the file being repaired; a second Ctrl+C ends at once.\n"
    "Exit status: 0 when every file was repaired, 1 when some were not, 2 for a usage error.\n";

struct Options {
  std::vector<std::string> files;
  std::string output_folder;
  std::optional<std::string> log_file;
  std::optional<std::string> report_file;
  bool complete_damaged_parts = true;
  bool help = false;
  bool version = false;
};

std::atomic<std::atomic<bool>*> g_stop_flag{nullptr};
volatile std::sig_atomic_t g_interrupts = 0;

extern "C" void OnInterrupt(int) {
  g_interrupts = g_interrupts + 1;
  if (g_interrupts > 1) std::_Exit(kExitInterrupted);
  if (std::atomic<bool>* flag = g_stop_flag.load()) flag->store(true);
}

// Parses the arguments; nothing with a message on standard error when they are wrong.
std::optional<Options> ParseArguments(int argc, char** argv) {
  Options options;
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto value = [&](const char* name) -> std::optional<std::string> {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vellomir-repair: %s needs a value\n", name);
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    if (only_files || argument.empty() || argument[0] != '-' || argument == "-") {
      options.files.push_back(argument);
    } else if (argument == "--") {
      only_files = true;
    } else if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "-V" || argument == "--version") {
      options.version = true;
    } else if (argument == "-o" || argument == "--output") {
      const auto folder = value("--output");
      if (!folder) return std::nullopt;
      options.output_folder = *folder;
    } else if (argument.rfind("--output=", 0) == 0) {
      options.output_folder = argument.substr(9);
    } else if (argument == "--log") {
      const auto file = value("--log");
      if (!file) return std::nullopt;
      options.log_file = *file;
    } else if (argument.rfind("--log=", 0) == 0) {
      options.log_file = argument.substr(6);
    } else if (argument == "--report") {
      const auto file = value("--report");
      if (!file) return std::nullopt;
      options.report_file = *file;
    } else if (argument.rfind("--report=", 0) == 0) {
      options.report_file = argument.substr(9);
    } else if (argument == "--no-complete") {
      options.complete_damaged_parts = false;
    } else {
      std::fprintf(stderr, "vellomir-repair: unknown option %s\n", argument.c_str());
      return std::nullopt;
    }
  }
  return options;
}

// The full path of a command-line path, as the window lists files: relative paths are taken
// from the current folder.
platform::Path FullPath(const std::string& path) {
  const platform::Path native = platform::FromNative(path);
  if (!native.empty() && native[0] == platform::kSeparator) return native;
  return platform::Fs().CurrentFolder() + platform::kSeparator + native;
}

platform::Path FolderWithSeparator(const std::string& folder) {
  platform::Path path = folder.empty() ? platform::Fs().CurrentFolder() : FullPath(folder);
  if (path.empty() || path.back() != platform::kSeparator) path.push_back(platform::kSeparator);
  return path;
}

bool WriteReport(const std::string& path, const std::vector<ReportedDocument>& documents) {
  const std::string json = RepairReportJson(documents);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  const bool written =
      out != nullptr && std::fwrite(json.data(), 1, json.size(), out) == json.size();
  if (out != nullptr && std::fclose(out) != 0) return false;
  if (!written) std::fprintf(stderr, "vellomir-repair: cannot write %s\n", path.c_str());
  return written;
}

int Run(int argc, char** argv) {
  const std::optional<Options> options = ParseArguments(argc, argv);
  if (!options) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (options->help) {
    std::fputs(kUsage, stdout);
    return kExitAllRepaired;
  }
  if (options->version) {
    std::printf("vellomir-repair %s\n", VELLOMIR_DISPLAY_VERSION);
    return kExitAllRepaired;
  }
  if (options->files.empty()) {
    std::fputs("vellomir-repair: no file given\n", stderr);
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const platform::Path output_folder = FolderWithSeparator(options->output_folder);
  if (!platform::Fs().IsFolder(output_folder.substr(0, output_folder.size() - 1)) &&
      output_folder != platform::Path(1, platform::kSeparator)) {
    std::fprintf(stderr, "vellomir-repair: %s is not a folder\n",
                 platform::ToUtf8ForDisplay(output_folder).c_str());
    return kExitUsage;
  }
  std::FILE* exact_log = nullptr;
  if (options->log_file) {
    exact_log = std::fopen(options->log_file->c_str(), "wb");
    if (exact_log == nullptr) {
      std::fprintf(stderr, "vellomir-repair: cannot write %s: %s\n", options->log_file->c_str(),
                   std::strerror(errno));
      return kExitUsage;
    }
  }

  std::vector<platform::Path> files;
  for (const std::string& file : options->files) files.push_back(FullPath(file));
  const int count = static_cast<int>(files.size());
  RepairOptions engine_options;
  engine_options.complete_damaged_parts = options->complete_damaged_parts;
  engine_options.keep_member_records = options->report_file.has_value();
  ConsoleView view(std::move(files), output_folder, engine_options, stdout, exact_log);
  g_stop_flag.store(&view.StopRequested());
  std::signal(SIGINT, OnInterrupt);
  RepairThreadProc(view);
  g_stop_flag.store(nullptr);
  if (exact_log != nullptr) std::fclose(exact_log);
  if (options->report_file && !WriteReport(*options->report_file, view.documents())) {
    return kExitSomeFailed;
  }
  return view.repaired() == count ? kExitAllRepaired : kExitSomeFailed;
}

}  // namespace
}  // namespace vellomir::cli

int main(int argc, char** argv) {
  return vellomir::cli::Run(argc, argv);
}
