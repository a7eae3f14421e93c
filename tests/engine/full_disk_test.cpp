// Full disks for real, without the fault-injection seam: the temporary folder or the output
// folder on a tmpfs of a few pages (mounting needs root; the test is skipped otherwise). The run
// ends with the failure lines that tell what happened, leaves no partial result and changes no
// source.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/repair_engine.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;
using testing::ZipBuilder;

// A tmpfs of `size` (as mount takes it: "256k") mounted on a fresh folder while the object lives.
class TinyTmpfs {
 public:
  explicit TinyTmpfs(const std::string& size) {
    const std::string options = "size=" + size + ",mode=0700";
    mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~TinyTmpfs() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  TinyTmpfs(const TinyTmpfs&) = delete;
  TinyTmpfs& operator=(const TinyTmpfs&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

std::string Document() {
  ZipBuilder zip;
  ZipBuilder::Member mimetype;
  mimetype.name = "mimetype";
  mimetype.data = "application/vnd.oasis.opendocument.spreadsheet";
  mimetype.method = 0;
  zip.Add(mimetype);
  // 150 kB that do not compress, stored: the workspace needs as much as the source holds, and
  // the packed archive as much again.
  ZipBuilder::Member picture;
  picture.name = "Pictures/photo.jpg";
  picture.data = testing::RandomBytes(150000, 9);
  picture.method = 0;
  zip.Add(picture);
  ZipBuilder::Member manifest;
  manifest.name = "META-INF/manifest.xml";
  manifest.data =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<manifest:manifest "
      "xmlns:manifest=\"urn:oasis:names:tc:opendocument:xmlns:manifest:1.0\" "
      "manifest:version=\"1.3\"><manifest:file-entry manifest:full-path=\"/\" "
      "manifest:media-type=\"application/vnd.oasis.opendocument.spreadsheet\"/>"
      "<manifest:file-entry manifest:full-path=\"Pictures/photo.jpg\" "
      "manifest:media-type=\"image/jpeg\"/></manifest:manifest>";
  manifest.descriptor = true;
  zip.Add(manifest);
  zip.Finish();
  return zip.bytes();
}

std::u16string Lines(std::initializer_list<std::u16string> lines) {
  std::u16string text;
  for (const std::u16string& line : lines) text += line + u"\r\n";
  return text;
}

TEST(FullDisk, ATinyTemporaryOrOutputFolderEndsWithItsFailureLines) {
  TempDir sources;
  TempDir normal_out;
  const std::string source = sources / "Book.ods";
  const std::string bytes = Document();
  ASSERT_TRUE(WriteFile(source, bytes));
  const std::u16string six =
      Lines({u"Opening file..", u"Opening file Done..", u"Extracting file content..",
             u"Extracting file content Done..", u"Making new file..", u"Making new file Done.."});

  struct Case {
    const char* what;
    const char* temp_size;    // a tmpfs for the temporary folder, or none
    const char* output_size;  // a tmpfs for the output folder, or none
    std::u16string log;       // without the last line when a result is saved
    bool saved;
  };
  const Case cases[] = {
      // The picture fills the workspace; the packed archive finds no room beside it.
      {"the packed archive does not fit beside the workspace", "256k", nullptr,
       Lines({u"Opening file..", u"Opening file Done..", u"Extracting file content..",
              u"Extracting file content Done..", u"Making new file..", u"Making new file Fail.."}),
       false},
      // The picture does not fit into the workspace: it is given up, the rest is saved (the
      // manifest that lists it stays as it is: an entry for an absent member breaks nothing).
      {"a member does not fit into the workspace", "64k", nullptr, six, true},
      {"the result does not fit into the output folder", nullptr, "64k",
       six + u"Saving repaired file Fail..\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TinyTmpfs> temp_disk;
    std::unique_ptr<TinyTmpfs> output_disk;
    if (c.temp_size != nullptr) temp_disk = std::make_unique<TinyTmpfs>(c.temp_size);
    if (c.output_size != nullptr) output_disk = std::make_unique<TinyTmpfs>(c.output_size);
    if ((temp_disk && !temp_disk->mounted()) || (output_disk && !output_disk->mounted())) {
      GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    }
    TempDir normal_temp;
    const testing::ScopedEnv tmpdir("TMPDIR", temp_disk ? temp_disk->path() : normal_temp.path());
    const std::string output = (output_disk ? output_disk->path() : normal_out.path()) + "/";

    TextRepairLog log;
    FileOutcome outcome;
    {
      CRepairEngine engine;
      engine.RepairFile(U16(source), U16(output), &log);
      outcome = engine.Outcome();
    }
    EXPECT_EQ(outcome.saved, c.saved);
    if (c.saved) {
      EXPECT_EQ(log.Text(), c.log + u"Repaired file name : " + U16(output) + u"REC_Book.ods\r\n");
      std::string problem;
      const std::optional<testing::ZipListing> listing =
          testing::ReadZipListingFile(output + "REC_Book.ods", &problem);
      ASSERT_TRUE(listing) << problem;
      EXPECT_EQ(testing::EntryNames(*listing),
                (std::vector<std::string>{"mimetype", "META-INF/manifest.xml"}));
      ::unlink((output + "REC_Book.ods").c_str());
    } else {
      EXPECT_EQ(log.Text(), c.log);
    }
    EXPECT_TRUE(testing::ListFilesRecursively(output).empty());
    const std::string private_folder = (temp_disk ? temp_disk->path() : normal_temp.path()) +
                                       "/vellomir-" + std::to_string(::geteuid());
    const auto left = testing::ListFilesRecursively(private_folder);
    EXPECT_TRUE(left.empty() || left == std::vector<std::string>{"workspace.lock"});
    EXPECT_EQ(ReadFile(source), bytes);
  }
}

}  // namespace
}  // namespace vellomir
