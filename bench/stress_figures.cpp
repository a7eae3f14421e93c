// Time and peak memory of whole repairs at the bounds: a sparse source of 1 GiB, 64 MiB made of
// nothing but signatures (a mix of every kind, and local headers only), 100,000 tiny members, and
// a member of unknown size that inflates to the 4 GiB - 1 bound (its file counts bytes instead of
// storing them, so no disk fills up).
//
//   stress_figures [FOLDER]      FOLDER holds the sources and the output (default: $TMPDIR or /tmp)
//
// Each repair runs in a process of its own (this program again, with --repair), so that its peak
// resident size is that of the repair alone; the figures are what the system measured for it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/repair_engine.h"
#include "platform/platform.h"
#include "support/faulty_file_system.h"
#include "support/test_support.h"

namespace {

using vellomir::testing::ZipBuilder;

ZipBuilder::Member Member(const std::string& name, const std::string& data, uint16_t method) {
  return ZipBuilder::Simple(name, data, method);
}

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Writes `cycle` again and again up to `size` bytes, a block at a time.
bool WriteRepeated(const std::string& path, const std::string& cycle, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string block;
  while (block.size() + cycle.size() <= (1u << 20)) block += cycle;
  for (size_t written = 0; written + block.size() <= size; written += block.size()) {
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return static_cast<bool>(out);
}

bool WriteSparse(const std::string& path) {
  ZipBuilder head;
  head.Add(Member("content.xml", vellomir::testing::TextRows(20000, 1), 8));
  ZipBuilder tail;
  tail.Add(Member("late.xml", vellomir::testing::TextRows(300, 2), 0));
  if (!Write(path, head.bytes())) return false;
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0) return false;
  constexpr off_t kSize = off_t{1} << 30;
  const bool done =
      ::ftruncate(fd, kSize) == 0 &&
      ::pwrite(fd, tail.bytes().data(), tail.size(), kSize - static_cast<off_t>(tail.size())) ==
          static_cast<ssize_t>(tail.size());
  ::close(fd);
  return done;
}

bool WriteTinyMembers(const std::string& path) {
  ZipBuilder zip;
  for (int i = 0; i < 100000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%03d/m%06d", i % 1000, i);
    zip.Add(Member(name, std::to_string(i), i % 2 == 0 ? 0 : 8));
  }
  return Write(path, zip.bytes());
}

// A deflated member, flag bit 3 and sizes 0, no descriptor, whose stream gives 4 GiB and 1 MiB of
// zeros without ending: 1 MiB of zeros compressed up to a full flush, repeated.
bool WriteEndlessMember(const std::string& path) {
  const ZipBuilder::Member member = vellomir::testing::EndlessDeflatedMember("huge.xml", 4097);
  if (member.payload->empty()) return false;
  ZipBuilder zip;
  zip.Add(member);
  return Write(path, zip.bytes());
}

// The child: one repair, its log's last line on standard output.
int RepairOne(const char* source, const char* output, bool count_only) {
  std::unique_ptr<vellomir::testing::ScopedFaults> faults;
  if (count_only) {
    faults = std::make_unique<vellomir::testing::ScopedFaults>();
    faults->faults.count_only = {"TempDirZanth"};
  }
  vellomir::TextRepairLog log;
  vellomir::CRepairEngine engine;
  engine.RepairFile(vellomir::platform::FromNative(source), vellomir::platform::FromNative(output),
                    &log);
  std::string text = vellomir::platform::ToUtf8ForDisplay(log.Text());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::printf("   %s\n", text.substr(text.find_last_of('\n') + 1).c_str());
  return engine.Outcome().saved ? 0 : 1;
}

void Measure(const char* what, const std::string& source, const std::string& output,
             bool count_only) {
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<const char*> args = {"/proc/self/exe", "--repair", source.c_str(), output.c_str()};
    if (count_only) args.push_back("--count-only");
    args.push_back(nullptr);
    ::execv("/proc/self/exe", const_cast<char* const*>(args.data()));
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%-52s %7.2f s   peak %7.1f MB   (user %.2f s, system %.2f s)\n", what, seconds,
              usage.ru_maxrss / 1024.0, usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
              usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--repair") == 0) {
    return RepairOne(argv[2], argv[3], argc >= 5 && std::strcmp(argv[4], "--count-only") == 0);
  }
  const char* tmpdir = std::getenv("TMPDIR");
  std::string base = argc >= 2 ? argv[1] : (tmpdir != nullptr ? tmpdir : "/tmp");
  std::string folder = base + "/vellomir-stress-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string output = folder + "/out/";
  ::mkdir(output.c_str(), 0700);
  struct Scenario {
    const char* what;
    std::string file;
    bool (*make)(const std::string& path);
    bool count_only;
  };
  const Scenario scenarios[] = {
      {"sparse source of 1 GiB", "sparse.ods", WriteSparse, false},
      {"64 MiB of signatures of every kind", "signatures.ods",
       [](const std::string& p) {
         return WriteRepeated(p, "PK\1\2PK\3\4PK\5\6PK\6\6PK\6\7PK\7\x08", 64u << 20);
       },
       false},
      {"64 MiB of local header signatures", "headers.ods",
       [](const std::string& p) { return WriteRepeated(p, "PK\3\4", 64u << 20); }, false},
      {"100,000 tiny members (half stored, half deflated)", "tiny.ods", WriteTinyMembers, false},
      {"a member of unknown size, decoded to 4 GiB - 1", "huge.ods", WriteEndlessMember, true},
  };
  std::printf("sources and results in %s\n", folder.c_str());
  for (const Scenario& s : scenarios) {
    const std::string path = folder + "/" + s.file;
    if (!s.make(path)) {
      std::printf("%s: cannot write the source\n", s.what);
      continue;
    }
    Measure(s.what, path, output, s.count_only);
    ::unlink(path.c_str());
  }
  vellomir::testing::RemoveTree(folder);
  return 0;
}
