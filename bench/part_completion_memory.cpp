// Memory and speed of completing a large damaged content.xml.
//
// Writes a workspace with a spreadsheet content.xml of the given size (default 500 MB) that is cut
// short in the middle of a row, completes it, and reports the peak resident memory before and
// after the completion and the throughput. A child process writes the part, so that the peak of
// this process is that of the completion alone. The completion must need no more than a few MB
// beyond its I/O buffers, whatever the size of the part.
//
//   part_completion_memory [MEGABYTES] [FOLDER]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "salvage/part_completion.h"

namespace {

long PeakResidentKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string Row(long n) {
  const std::string number = std::to_string(n);
  return "<table:table-row table:style-name=\"ro1\"><table:table-cell office:value-type=\"float\" "
         "office:value=\"" +
         number + "\" calcext:value-type=\"float\"><text:p>" + number +
         "</text:p></table:table-cell><table:table-cell office:value-type=\"string\" "
         "calcext:value-type=\"string\"><text:p>caf\xC3\xA9 row " +
         number +
         "</text:p></table:table-cell><table:table-cell office:value-type=\"date\" "
         "office:date-value=\"2023-08-17\" calcext:value-type=\"date\"><text:p>2023-08-17"
         "</text:p></table:table-cell></table:table-row>";
}

// Streams the part out in blocks of about 1 MiB, so that writing it costs no memory.
bool WriteContent(const std::string& path, unsigned long long size, long& rows) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string block =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<office:document-content "
      "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
      "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" "
      "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
      "xmlns:calcext=\"urn:org:documentfoundation:names:experimental:calc:xmlns:calcext:1.0\" "
      "office:version=\"1.3\"><office:body><office:spreadsheet><table:table table:name=\"Big\">";
  unsigned long long written = 0;
  rows = 0;
  while (written + block.size() < size) {
    while (block.size() < (1u << 20)) block += Row(++rows);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    written += block.size();
    block.clear();
  }
  // The damage: a row that breaks off.
  block = "<table:table-row><table:table-cell office:value-type=\"float\" office:val";
  out.write(block.data(), static_cast<std::streamsize>(block.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long long megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 500;
  std::string folder =
      argc > 2 ? argv[2] : (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
  folder += "/vellomir-completion-bench/";
  std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "META-INF'").c_str());
  std::ofstream(folder + "mimetype") << "application/vnd.oasis.opendocument.spreadsheet";
  std::ofstream(folder + "styles.xml") << "<office:document-styles/>";

  int channel[2];
  if (pipe(channel) != 0) return 1;
  const pid_t writer = fork();
  if (writer == 0) {
    long rows = 0;
    const bool written = WriteContent(folder + "content.xml", megabytes * 1000 * 1000, rows);
    const bool sent = write(channel[1], &rows, sizeof rows) == sizeof rows;
    _exit(written && sent ? 0 : 1);
  }
  long rows = 0;
  int writer_status = 1;
  if (writer < 0 || read(channel[0], &rows, sizeof rows) != sizeof rows ||
      waitpid(writer, &writer_status, 0) != writer || writer_status != 0) {
    std::fprintf(stderr, "could not write %scontent.xml\n", folder.c_str());
    return 1;
  }
  const long before = PeakResidentKiB();
  const auto start = std::chrono::steady_clock::now();
  const vellomir::CompletionResult result =
      vellomir::CompleteDamagedParts(vellomir::platform::FromNative(folder), u"Big.ods");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const long after = PeakResidentKiB();

  int status = 0;
  if (result.parts.empty() ||
      result.parts[0].action != vellomir::CompletedPart::Action::kCompleted ||
      result.parts[0].rows_kept != rows) {
    std::fprintf(stderr, "content.xml was not completed with all %ld rows\n", rows);
    status = 1;
  }
  const double mb = static_cast<double>(megabytes);
  std::printf("content.xml        %llu MB, %ld rows, cut in a row\n", megabytes, rows);
  std::printf("time               %.2f s (%.0f MB/s: checked once, kept part copied)\n", seconds,
              mb / seconds);
  std::printf("peak RSS before    %ld KiB\n", before);
  std::printf("peak RSS after     %ld KiB (+%ld KiB for the completion)\n", after, after - before);
  std::system(("rm -rf '" + folder + "'").c_str());
  return status;
}
