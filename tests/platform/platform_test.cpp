#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/test_support.h"

namespace vellomir {
namespace {

using platform::CreateMode;
using platform::Fs;
using testing::LockHolder;
using testing::ReadFile;
using testing::TempDir;
using testing::U16;
using testing::WriteFile;

// ------------------------------------------------------------------------------------- text

struct TextCase {
  const char* what;
  std::string bytes;
  std::u16string text;
};

TEST(NativeText, ConvertsBothWaysAndKeepsInvalidBytes) {
  const TextCase cases[] = {
      {"ascii", "content.xml", u"content.xml"},
      {"two-byte", "\xC3\x89t\xC3\xA9.ods", u"\u00C9t\u00E9.ods"},
      {"four-byte", "\xF0\x9F\x93\x84", u"\U0001F4C4"},
      {"code page 437 byte", "caf\x82", u"caf\xDC82"},
      {"overlong slash", "\xC0\xAF", u"\xDCC0\xDCAF"},
      {"cut sequence", "a\xE2\x82", u"a\xDCE2\xDC82"},
      {"encoded surrogate", "\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(platform::FromNative(c.bytes), c.text);
    EXPECT_EQ(platform::ToNative(c.text), c.bytes);
  }
}

TEST(NativeText, DisplayFormReplacesWhatIsNotText) {
  EXPECT_EQ(platform::ToUtf8ForDisplay(u"caf\xDC82"), "caf\xEF\xBF\xBD");
  EXPECT_EQ(platform::ToNative(u"\xD800x"), "\xEF\xBF\xBDx");  // a lone high surrogate
}

// ----------------------------------------------------------------------- opening documents

TEST(OpenExclusiveRead, ReadsARegularFileAndHoldsItAgainstOthers) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "book.ods", "0123456789"));
  auto file = Fs().OpenExclusiveRead(U16(dir / "book.ods"));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->Size(), 10);
  EXPECT_TRUE(file->IsDiskFile());
  char buffer[4] = {};
  EXPECT_EQ(platform::ReadAt(*file, 6, buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(platform::ReadAt(*file, 10, buffer, 4), 0);
  EXPECT_FALSE(platform::ReadExactAt(*file, 8, buffer, 4));

  // While it is open, neither this process nor another one gets it.
  EXPECT_FALSE(Fs().OpenExclusiveRead(U16(dir / "book.ods")));
  EXPECT_FALSE(Fs().OpenSharedRead(U16(dir / "book.ods")));
  LockHolder other(dir / "book.ods", LockHolder::Kind::kFcntlWrite);
  EXPECT_FALSE(other.locked());
  file.reset();
  EXPECT_TRUE(Fs().OpenExclusiveRead(U16(dir / "book.ods")));
}

TEST(OpenExclusiveRead, FailsForWhatIsNotAnOpenableRegularFile) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "unreadable.ods", "x"));
  ::chmod((dir / "unreadable.ods").c_str(), 0);  // refused also when root runs the test
  ASSERT_EQ(::mkfifo((dir / "pipe.ods").c_str(), 0600), 0);
  ::mkdir((dir / "folder.ods").c_str(), 0700);
  const std::string cases[] = {dir / "missing.ods", dir / "folder.ods",     dir / "pipe.ods",
                               "/dev/zero",         dir / "unreadable.ods", ""};
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(Fs().OpenExclusiveRead(U16(path)));
  }
}

TEST(OpenExclusiveRead, FailsWhileAnotherProcessHoldsAnyKindOfLock) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "book.ods", "data"));
  const LockHolder::Kind kinds[] = {LockHolder::Kind::kFlockExclusive,
                                    LockHolder::Kind::kFlockShared, LockHolder::Kind::kFcntlWrite,
                                    LockHolder::Kind::kFcntlRead};
  for (LockHolder::Kind kind : kinds) {
    SCOPED_TRACE(static_cast<int>(kind));
    LockHolder holder(dir / "book.ods", kind);
    ASSERT_TRUE(holder.locked());
    EXPECT_FALSE(Fs().OpenExclusiveRead(U16(dir / "book.ods")));
  }
  EXPECT_TRUE(Fs().OpenExclusiveRead(U16(dir / "book.ods")));
}

TEST(OpenSharedRead, AllowsOtherReadersButNotAnExclusiveHolder) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "a.png", "data"));
  {
    LockHolder reader(dir / "a.png", LockHolder::Kind::kFlockShared);
    auto file = Fs().OpenSharedRead(U16(dir / "a.png"));
    EXPECT_TRUE(file);
  }
  LockHolder writer(dir / "a.png", LockHolder::Kind::kFlockExclusive);
  EXPECT_FALSE(Fs().OpenSharedRead(U16(dir / "a.png")));
}

// ---------------------------------------------------------------------------- creating files

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(CreateFile, ReplacesWritableFilesButNeverReadOnlyOnes) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "writable", "old contents"));
  auto file = Fs().CreateFile(U16(dir / "writable"), CreateMode::kReplace, 0);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->Write("new", 3));
  file.reset();
  EXPECT_EQ(ReadFile(dir / "writable"), "new");

  ASSERT_TRUE(WriteFile(dir / "readonly", "first version"));
  ::chmod((dir / "readonly").c_str(), 0444);
  EXPECT_FALSE(Fs().CreateFile(U16(dir / "readonly"), CreateMode::kReplace, 0));
  EXPECT_EQ(ReadFile(dir / "readonly"), "first version");

  EXPECT_FALSE(Fs().CreateFile(U16(dir / "writable"), CreateMode::kNewOnly, 0));
}

TEST(CreateFile, MakesReadOnlyFilesThatCanStillBeWrittenThroughTheirHandle) {
  TempDir dir;
  auto file = Fs().CreateFile(U16(dir / "member.xml"), CreateMode::kReplace,
                              platform::kAttrReadOnly | platform::kAttrNormal);
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->Write("<a/>", 4));
  file.reset();
  EXPECT_EQ(ModeOf(dir / "member.xml") & 0222, 0u);
  EXPECT_EQ(ReadFile(dir / "member.xml"), "<a/>");
  EXPECT_FALSE(Fs().CreateFile(U16(dir / "member.xml"), CreateMode::kReplace, 0));
}

TEST(CreateFile, NeverFollowsALink) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "target", "keep"));
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
  EXPECT_FALSE(Fs().CreateFile(U16(dir / "link"), CreateMode::kReplace, 0));
  EXPECT_EQ(ReadFile(dir / "target"), "keep");
}

TEST(CreateFile, FailsWhileAnotherProcessUsesTheFile) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir / "busy", "in use"));
  LockHolder holder(dir / "busy", LockHolder::Kind::kFlockShared);
  ASSERT_TRUE(holder.locked());
  EXPECT_FALSE(Fs().CreateFile(U16(dir / "busy"), CreateMode::kReplace, 0));
  EXPECT_EQ(ReadFile(dir / "busy"), "in use");
}

TEST(FileTimesAndInfo, SetTimesAreReadBackAndAttributesFollowTheMode) {
  TempDir dir;
  auto file = Fs().CreateFile(U16(dir / ".hidden"), CreateMode::kReplace, 0);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->Write("12345", 5));
  platform::FileTimes times;
  times.last_write = 133000000000000000ull;   // 2022-06-20
  times.last_access = 132000000000000000ull;  // 2019-04-15
  times.creation = 131000000000000000ull;     // cannot be set on Linux
  ASSERT_TRUE(file->SetTimes(times));
  const auto info = file->Info();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->size, 5u);
  EXPECT_EQ(info->times.last_write, times.last_write);
  EXPECT_EQ(info->times.last_access, times.last_access);
  EXPECT_EQ(info->attributes & (platform::kAttrHidden | platform::kAttrReadOnly),
            platform::kAttrHidden);
  file.reset();
  ::chmod((dir / ".hidden").c_str(), 0444);
  auto reopened = Fs().OpenSharedRead(U16(dir / ".hidden"));
  ASSERT_TRUE(reopened);
  EXPECT_NE(reopened->Info()->attributes & platform::kAttrReadOnly, 0u);
}

// ---------------------------------------------------------------------------- pending files

TEST(PendingFile, AppearsWholeUnderItsNameOrNotAtAll) {
  TempDir dir;
  {
    auto pending = Fs().CreatePendingFile(U16(dir.path()));
    ASSERT_TRUE(pending);
    ASSERT_TRUE(pending->Write("result", 6));
    EXPECT_TRUE(testing::ListFilesRecursively(dir.path()).empty());
    ASSERT_TRUE(pending->Publish(U16(dir / "REC_Book.ods")));
  }
  EXPECT_EQ(ReadFile(dir / "REC_Book.ods"), "result");
  EXPECT_EQ(testing::ListFilesRecursively(dir.path()), std::vector<std::string>{"REC_Book.ods"});

  {
    auto pending = Fs().CreatePendingFile(U16(dir.path()));
    ASSERT_TRUE(pending);
    ASSERT_TRUE(pending->Write("second", 6));
    EXPECT_FALSE(pending->Publish(U16(dir / "REC_Book.ods")));  // never replaces
    EXPECT_TRUE(pending->Publish(U16(dir / "REC_BOOK(1).ODS")));
  }
  EXPECT_EQ(ReadFile(dir / "REC_Book.ods"), "result");
  EXPECT_EQ(ReadFile(dir / "REC_BOOK(1).ODS"), "second");

  {
    auto abandoned = Fs().CreatePendingFile(U16(dir.path()));
    ASSERT_TRUE(abandoned);
    ASSERT_TRUE(abandoned->Write("partial", 7));
  }
  EXPECT_EQ(testing::ListFilesRecursively(dir.path()).size(), 2u);
  EXPECT_FALSE(Fs().CreatePendingFile(U16(dir / "missing")));
}

// ------------------------------------------------------------------------- folders and temp

TEST(Folders, ListingReportsLinksToFoldersAsFiles) {
  TempDir dir;
  testing::MakeFolders(dir / "tree/sub");
  ASSERT_TRUE(WriteFile(dir / "tree/.hidden", ""));
  ASSERT_EQ(::symlink((dir / "tree/sub").c_str(), (dir / "tree/link").c_str()), 0);
  auto entries = Fs().ListFolder(U16(dir / "tree"));
  ASSERT_TRUE(entries);
  std::map<std::string, bool> seen;
  for (const auto& entry : *entries) seen[testing::U8(entry.name)] = entry.is_folder;
  EXPECT_EQ(seen,
            (std::map<std::string, bool>{{".hidden", false}, {"link", false}, {"sub", true}}));
  EXPECT_FALSE(Fs().ListFolder(U16(dir / "tree/link")));
  EXPECT_FALSE(Fs().ListFolder(U16(dir / "nothing")));
}

TEST(TempFolder, IsAPrivateFolderOfThisUser) {
  TempDir dir;
  testing::ScopedEnv tmpdir("TMPDIR", dir.path());
  const std::string expected = dir / ("vellomir-" + std::to_string(::geteuid()));
  EXPECT_EQ(Fs().TempFolder(), U16(expected + "/"));
  EXPECT_EQ(ModeOf(expected), 0700u);

  ::chmod(expected.c_str(), 0755);  // loosened by someone: closed again
  EXPECT_EQ(Fs().TempFolder(), U16(expected + "/"));
  EXPECT_EQ(ModeOf(expected), 0700u);
}

TEST(TempFolder, RefusesALinkOrAFolderOfAnotherUser) {
  TempDir dir;
  testing::ScopedEnv tmpdir("TMPDIR", dir.path());
  const std::string name = dir / ("vellomir-" + std::to_string(::geteuid()));
  testing::MakeFolders(dir / "elsewhere");
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), name.c_str()), 0);
  EXPECT_EQ(Fs().TempFolder(), u"");
  ::unlink(name.c_str());

  if (::geteuid() == 0) {  // only root can give a folder to another user
    ::mkdir(name.c_str(), 0700);
    ASSERT_EQ(::chown(name.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Fs().TempFolder(), u"");
  }
}

TEST(Folders, SetNormalAttributesOpensReadOnlyFilesAndFolders) {
  TempDir dir;
  testing::MakeFolders(dir / "locked");
  ASSERT_TRUE(WriteFile(dir / "locked/file", "x"));
  ::chmod((dir / "locked/file").c_str(), 0444);
  ::chmod((dir / "locked").c_str(), 0500);
  EXPECT_TRUE(Fs().SetNormalAttributes(U16(dir / "locked")));
  EXPECT_TRUE(Fs().SetNormalAttributes(U16(dir / "locked/file")));
  EXPECT_EQ(ModeOf(dir / "locked") & 0700, 0700u);
  EXPECT_EQ(ModeOf(dir / "locked/file") & 0200, 0200u);
  EXPECT_FALSE(Fs().SetNormalAttributes(U16(dir / "none")));
}

}  // namespace
}  // namespace vellomir
