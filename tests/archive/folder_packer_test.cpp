#include <unistd.h>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/archive_test.h"
#include "support/faulty_file_system.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::EntryNames;
using testing::RandomBytes;
using testing::ReadFile;
using testing::TempDir;
using testing::U16;
using testing::ZipListing;

constexpr char kSpreadsheetType[] = "application/vnd.oasis.opendocument.spreadsheet";

// A workspace folder and an archive path beside it, as the repair pipeline has them.
class FolderPackerTest : public testing::ArchiveTest {
 protected:
  FolderPackerTest() { testing::MakeFolders(Root()); }

  std::string Root() const { return dir_ / "workspace"; }

  // Writes a file below the root; `name` uses "/" between folders.
  void Put(const std::string& name, std::string_view content) {
    const std::string path = Root() + "/" + name;
    testing::MakeFolders(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(testing::WriteFile(path, content)) << name;
  }

  void Pack() { PackFolder(U16(Root() + "/"), U16(ArchivePath())); }
};

const std::string kEndRecordAlone = std::string("PK\x05\x06", 4) + std::string(18, '\0');

TEST_F(FolderPackerTest, DocumentWorkspaceGivesAPackageWithMimetypeFirst) {
  const std::string picture = RandomBytes(3000, 5);
  // Written in an order unlike the archive's, so that neither creation order nor the listing's
  // order decides it.
  Put("Pictures/a.png", picture);
  Put("content.xml", "<office:document-content/>");
  Put("META-INF/manifest.xml", "<manifest:manifest/>");
  Put("mimetype", kSpreadsheetType);
  Pack();

  const ZipListing listing = Listing();
  EXPECT_EQ(EntryNames(listing), (std::vector<std::string>{"mimetype", "META-INF/manifest.xml",
                                                           "Pictures/a.png", "content.xml"}));
  ASSERT_EQ(listing.entries.size(), 4u);
  const ZipListing::Entry& mimetype = listing.entries[0];
  EXPECT_EQ(mimetype.local_header_offset, 0u);
  EXPECT_EQ(mimetype.method, 0);
  EXPECT_EQ(mimetype.flags, 0);
  EXPECT_EQ(mimetype.data, kSpreadsheetType);
  EXPECT_EQ(mimetype.local_extra, "");
  EXPECT_EQ(mimetype.central_extra, "");
  for (size_t i = 1; i < listing.entries.size(); ++i) {
    const ZipListing::Entry& entry = listing.entries[i];
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(entry.method, 8);
    EXPECT_EQ(entry.local_extra.size(), 17u);
  }
  EXPECT_EQ(testing::Inflate(listing.entries[2].data), picture);

  // Tools that recognise documents by their first bytes see a spreadsheet, not a plain zip.
  const testing::ToolVerdict file =
      testing::RunTool("file", "file --brief --mime-type " + testing::ShellQuoted(ArchivePath()));
  if (file.available) {
    EXPECT_EQ(file.output, std::string(kSpreadsheetType) + "\n");
  }
  EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
}

TEST_F(FolderPackerTest, EntriesFollowTheBytesOfTheirNamesDepthFirst) {
  for (const char* name : {"\xC3\xA9.txt", "sub/z", "b", "mimetype/inner", "a/z", "Z.txt",
                           "sub/mimetype", "a/y/x", "B"}) {
    Put(name, name);
  }
  Pack();
  const ZipListing listing = Listing();
  EXPECT_EQ(EntryNames(listing),
            (std::vector<std::string>{"B", "Z.txt", "a/y/x", "a/z", "b", "mimetype/inner",
                                      "sub/mimetype", "sub/z", "\xC3\xA9.txt"}));
  // Only a file named mimetype directly in the root is special.
  for (const ZipListing::Entry& entry : listing.entries) {
    SCOPED_TRACE(entry.name);
    EXPECT_EQ(entry.method, 8);
    EXPECT_EQ(entry.local_extra.size(), 17u);
  }
}

TEST_F(FolderPackerTest, ArchiveSuffixesDecideWhatIsStored) {
  struct Case {
    const char* name;
    uint16_t method;
  };
  const Case cases[] = {
      {"data.ZIP", 0}, {"notes.txt", 8}, {"old.zip", 0}, {"sub/inner.gz", 0}, {"x.zip/inner", 8},
  };
  for (const Case& c : cases) Put(c.name, RandomBytes(200, 1));
  Pack();
  const ZipListing listing = Listing();
  ASSERT_EQ(listing.entries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(listing.entries[i].name, cases[i].name);
    EXPECT_EQ(listing.entries[i].method, cases[i].method) << cases[i].name;
  }
}

TEST_F(FolderPackerTest, FoldersWithoutFilesGiveTheEndRecordAlone) {
  struct Case {
    const char* what;
    std::vector<std::string> folders;  // below the root
    bool remove_root;
  };
  const Case cases[] = {
      {"empty root", {}, false},
      {"empty folders only", {"empty", "nested/deeper/deepest"}, false},
      {"root that cannot be listed", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::RemoveTree(Root());
    if (!c.remove_root) testing::MakeFolders(Root());
    for (const std::string& folder : c.folders) testing::MakeFolders(Root() + "/" + folder);
    Pack();
    EXPECT_EQ(ReadFile(ArchivePath()), kEndRecordAlone);
  }
}

TEST_F(FolderPackerTest, FileThatCannotBeOpenedEndsTheWalk) {
  for (const char* name : {"a.txt", "m/b.txt", "m/c.txt", "m/d.txt", "z/e.txt", "zz.txt"}) {
    Put(name, name);
  }
  testing::LockHolder holder(Root() + "/m/c.txt", testing::LockHolder::Kind::kFlockExclusive);
  ASSERT_TRUE(holder.locked());

  Pack();
  // Every file before the locked one is kept; none after it, not even in a later folder.
  EXPECT_EQ(EntryNames(Listing()), (std::vector<std::string>{"a.txt", "m/b.txt"}));
  EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");

  ZipStatus status = ZipStatus::kOk;
  std::unique_ptr<ZipWriter> writer = ZipWriter::Create(U16(dir_ / "direct.zip"), &status);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(AddFolderTree(*writer, U16(Root()), U16(Root())));
  EXPECT_EQ(writer->Close(), ZipStatus::kOk);
}

// A member the format cannot hold is passed over, and every member after it is still packed.
TEST_F(FolderPackerTest, FileTheFormatCannotHoldIsPassedOver) {
  const std::string long_folder(200, 'f');
  const std::string long_name = long_folder + "/" + std::string(59, 'n');  // 260 bytes
  for (const std::string& name : {std::string("a.txt"), long_name, std::string("z.txt")}) {
    Put(name, "data");
  }
  Pack();
  EXPECT_EQ(EntryNames(Listing()), (std::vector<std::string>{"a.txt", "z.txt"}));
  EXPECT_EQ(testing::ZipToolComplaints(ArchivePath()), "");
}

TEST_F(FolderPackerTest, LinkToAFolderIsNeverWalkedInto) {
  testing::MakeFolders(dir_ / "outside");
  ASSERT_TRUE(testing::WriteFile(dir_ / "outside/secret.txt", "secret"));
  Put("a.txt", "a");
  ASSERT_EQ(::symlink((dir_ / "outside").c_str(), (Root() + "/b-link").c_str()), 0);
  Pack();
  for (const std::string& name : EntryNames(Listing())) {
    EXPECT_EQ(name.find("secret"), std::string::npos) << name;
  }
}

TEST_F(FolderPackerTest, EntryNamesAreThePathsBelowTheRoot) {
  // The root's own path reappears inside the tree: only the leading root may be taken off.
  const std::string inner = "x" + Root();
  Put("sub/f", "f");
  Put(inner + "/g", "g");
  struct Case {
    const char* what;
    std::string folder;
    std::string root;
    bool complete;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"root without separator", Root(), Root(), true, {"sub/f", "x" + Root() + "/g"}},
      {"sub-folder of the root", Root() + "/sub", Root() + "/", true, {"sub/f"}},
      {"folder outside the root", dir_.path(), Root(), false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipStatus status = ZipStatus::kOk;
    std::unique_ptr<ZipWriter> writer = ZipWriter::Create(U16(ArchivePath()), &status);
    ASSERT_TRUE(writer);
    EXPECT_EQ(AddFolderTree(*writer, U16(c.folder), U16(c.root)), c.complete);
    ASSERT_EQ(writer->Close(), ZipStatus::kOk);
    EXPECT_EQ(EntryNames(Listing()), c.names);
  }
}

TEST_F(FolderPackerTest, ArchiveIsRemovedWhenItCannotBeCompleted) {
  Put("mimetype", kSpreadsheetType);
  Put("content.xml", std::string(5000, 'c'));
  Pack();
  const ZipListing whole = Listing();
  const uint64_t whole_size = ReadFile(ArchivePath())->size();

  // A disk that is full at the given size of the archive.
  struct Case {
    const char* what;
    uint64_t capacity;
    bool archive_kept;
  };
  const Case cases[] = {
      {"nothing fits", 0, false},
      {"full in the first entry", 40, false},
      {"full before the central directory", whole.central_offset, false},
      {"full in the end record", whole_size - 1, false},
      {"room enough", whole_size, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::FaultyFileSystem faulty({.capacity = c.capacity});
    platform::ScopedFileSystem scope(faulty);
    Pack();
    EXPECT_EQ(testing::Exists(ArchivePath()), c.archive_kept);
  }
}

TEST_F(FolderPackerTest, ArchiveThatCannotBeCreatedLeavesNothing) {
  Put("content.xml", "c");
  PackFolder(U16(Root() + "/"), U16(dir_ / "missing/packed.ods"));
  EXPECT_FALSE(testing::Exists(dir_ / "missing"));
}

}  // namespace
}  // namespace vellomir
