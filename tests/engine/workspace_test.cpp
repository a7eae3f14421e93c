#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/repair_engine.h"
#include "engine/workspace.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using testing::ReadFile;
using testing::ScopedTempFolder;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;

TEST(DeleteFolderTree, RemovesEverythingButNeverFollowsALink) {
  TempDir dir;
  TempDir outside;
  ASSERT_TRUE(WriteFile(outside / "keep.txt", "precious"));
  const std::string tree = dir / "TempDirZanth";
  testing::MakeFolders(tree + "/Pictures/deeper");
  ASSERT_TRUE(WriteFile(tree + "/readonly.xml", "r"));
  ::chmod((tree + "/readonly.xml").c_str(), 0444);
  ASSERT_TRUE(WriteFile(tree + "/.hidden", "h"));
  ASSERT_TRUE(WriteFile(tree + "/Pictures/a.png", "a"));
  ASSERT_TRUE(WriteFile(tree + "/Pictures/deeper/b.png", "b"));
  ::chmod((tree + "/Pictures/deeper").c_str(), 0500);
  ::chmod((tree + "/Pictures").c_str(), 0500);  // a read-only folder with files in it
  ASSERT_EQ(::symlink(outside.path().c_str(), (tree + "/link").c_str()), 0);

  EXPECT_TRUE(CDirectoryManager::DeleteFolderTree(U16(tree + "/")));
  EXPECT_FALSE(testing::Exists(tree));
  EXPECT_EQ(ReadFile(outside / "keep.txt"), "precious");

  // A missing folder, an empty path and a link in the folder's place: false, nothing happens.
  EXPECT_FALSE(CDirectoryManager::DeleteFolderTree(U16(tree)));
  EXPECT_FALSE(CDirectoryManager::DeleteFolderTree(u""));
  ASSERT_EQ(::symlink(outside.path().c_str(), tree.c_str()), 0);
  EXPECT_FALSE(CDirectoryManager::DeleteFolderTree(U16(tree)));
  EXPECT_EQ(ReadFile(outside / "keep.txt"), "precious");
}

TEST(CreateFolderPath, CreatesEveryFolderDownToTheLast) {
  TempDir dir;
  EXPECT_TRUE(CDirectoryManager::CreateFolderPath(U16(dir / "a/b/c")));
  EXPECT_TRUE(testing::Exists(dir / "a/b/c"));
  EXPECT_TRUE(CDirectoryManager::CreateFolderPath(U16(dir / "a/b/c/")));  // exists: ignored
  EXPECT_FALSE(CDirectoryManager::CreateFolderPath(u""));
  EXPECT_FALSE(CDirectoryManager::CreateFolderPath(u"nosep"));
}

TEST(Workspace, IsClearedOfStaleFilesWhenAnEngineIsMade) {
  ScopedTempFolder temp;
  const std::string t = temp.private_folder();
  ::mkdir(t.c_str(), 0700);
  testing::MakeFolders(t + "TempDirZanth/Pictures");
  ASSERT_TRUE(WriteFile(t + "TempDirZanth/Pictures/stale.png", "old"));
  ASSERT_TRUE(WriteFile(t + "temp12temp.zip", "old"));
  ASSERT_TRUE(WriteFile(t + "temp12swe.ods", "old"));
  {
    CRepairEngine engine;
    EXPECT_FALSE(testing::Exists(t + "TempDirZanth"));
    EXPECT_FALSE(testing::Exists(t + "temp12temp.zip"));
    EXPECT_FALSE(testing::Exists(t + "temp12swe.ods"));
  }
  // A workspace that does not exist is cleared silently.
  ResetWorkspace();
  EXPECT_EQ(testing::ListFilesRecursively(t), std::vector<std::string>{"workspace.lock"});
}

TEST(Workspace, LivesInAPrivateFolderOrNowhere) {
  ScopedTempFolder temp;
  const RepairWorkspace workspace = RepairWorkspace::Current();
  EXPECT_EQ(workspace.folder, U16(temp.private_folder() + "TempDirZanth/"));
  EXPECT_EQ(workspace.scratch_archive, U16(temp.private_folder() + "temp12temp.zip"));
  EXPECT_EQ(workspace.packed_result, U16(temp.private_folder() + "temp12swe.ods"));

  // Someone else's link in the private folder's place: no workspace at all.
  TempDir elsewhere;
  ::rmdir(temp.private_folder().c_str());
  const std::string link = temp.private_folder().substr(0, temp.private_folder().size() - 1);
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), link.c_str()), 0);
  EXPECT_FALSE(RepairWorkspace::Current().valid());
}

// ---------------------------------------------------------------------------- result names

TEST(ResultNames, NumberTheFileNamePartInCapitals) {
  TempDir dir;
  const std::string out = dir.path() + "/Out Folder.ods/";
  testing::MakeFolders(out);
  struct Case {
    const char* what;
    std::vector<std::string> present;
    std::string source;
    std::string expected;
  };
  const Case cases[] = {
      {"nothing there", {}, "/data/Book.ods", "REC_Book.ods"},
      {"first name taken", {"REC_Book.ods"}, "/data/Book.ods", "REC_BOOK(1).ODS"},
      {"two taken", {"REC_Book.ods", "REC_BOOK(1).ODS"}, "/data/Book.ods", "REC_BOOK(2).ODS"},
      {"gap filled", {"REC_Book.ods", "REC_BOOK(2).ODS"}, "/data/Book.ods", "REC_BOOK(1).ODS"},
      {"only a to z in capitals",
       {"REC_\xC3\x89t\xC3\xA9.ods"},
       "/d/\xC3\x89t\xC3\xA9.ods",
       "REC_\xC3\x89T\xC3\xA9(1).ODS"},
      {"several folders", {}, "/A/B/C/Book.ods", "REC_Book.ods"},
      {"no .ods: before the last dot", {"REC_Book.xlsx"}, "/d/Book.xlsx", "REC_BOOK(1).XLSX"},
      {"no dot at all", {"REC_README"}, "/d/README", "REC_README(1)"},
      {".ods twice: the last one", {"REC_a.ods.ods"}, "/d/a.ods.ods", "REC_A.ODS(1).ODS"},
      {"x.ods.bak", {"REC_x.ods.bak"}, "/d/x.ods.bak", "REC_X(1).ODS.BAK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : c.present) ASSERT_TRUE(WriteFile(out + name, "x"));
    const platform::Path candidate = ResultCandidate(U16(c.source), U16(out));
    // The folder part, with its ".ods" and its letter case, is kept as given.
    EXPECT_EQ(MakeResultName(candidate), U16(out + c.expected));
    for (const std::string& name : c.present) ::unlink((out + name).c_str());
  }
  // A folder of the candidate's name makes it taken as a file would.
  ::mkdir((out + "REC_Book.ods").c_str(), 0700);
  EXPECT_EQ(MakeResultName(U16(out + "REC_Book.ods")), U16(out + "REC_BOOK(1).ODS"));
}

}  // namespace
}  // namespace vellomir
