// A GoogleTest fixture for tests that write one archive and read it back.
#ifndef VELLOMIR_TESTS_SUPPORT_ARCHIVE_TEST_H_
#define VELLOMIR_TESTS_SUPPORT_ARCHIVE_TEST_H_

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/test_support.h"

namespace vellomir::testing {

class ArchiveTest : public ::testing::Test {
 protected:
  std::string ArchivePath() const { return dir_ / "archive.zip"; }
  std::u16string Archive() const { return U16(ArchivePath()); }
  std::string ArchiveBytes() const { return ReadFile(ArchivePath()).value_or(""); }

  // The archive as a zip tool reads it; empty, with a test failure, when it cannot be read so.
  ZipListing Listing() const {
    std::string problem;
    std::optional<ZipListing> listing = ReadZipListingFile(ArchivePath(), &problem);
    EXPECT_TRUE(listing) << problem;
    return listing.value_or(ZipListing{});
  }

  TempDir dir_;
};

}  // namespace vellomir::testing

#endif  // VELLOMIR_TESTS_SUPPORT_ARCHIVE_TEST_H_
