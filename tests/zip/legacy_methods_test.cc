// The legacy methods (Shrink, Reduce, Implode), Deflate64 and the traditional
// encryption through the whole extractor, on archives written by the old
// archivers themselves.
#include <gtest/gtest.h>

#include "tests/zip/extract_test_util.h"
#include "zip/unzip_error.h"

namespace qm::zip::testing {
namespace {

struct KnownMember {
  const char* name;      // path below the extraction folder
  const char* original;  // file under fixtures/ with its content
};

struct LegacyCase {
  const char* archive;
  const char* password;
  int members;
  std::vector<KnownMember> known;
};

TEST(LegacyMethodsTest, EveryMemberDecodesAndVerifies) {
  const LegacyCase cases[] = {
      {"sharpcompress/Zip.shrink.zip",
       "",
       3,
       {{"TEST.EXE", "sharpcompress/Original/exe/test.exe"}}},
      {"sharpcompress/Zip.reduce1.zip",
       "",
       3,
       {{"TEST.EXE", "sharpcompress/Original/exe/test.exe"},
        {"TEST.JPG", "sharpcompress/Original/jpg/test.jpg"}}},
      {"sharpcompress/Zip.reduce2.zip",
       "",
       3,
       {{"TEST.EXE", "sharpcompress/Original/exe/test.exe"}}},
      {"sharpcompress/Zip.reduce3.zip",
       "",
       3,
       {{"TEST.EXE", "sharpcompress/Original/exe/test.exe"}}},
      {"sharpcompress/Zip.reduce4.zip",
       "",
       3,
       {{"TEST.EXE", "sharpcompress/Original/exe/test.exe"},
        {"TEST.JPG", "sharpcompress/Original/jpg/test.jpg"}}},
      {"sharpcompress/Zip.implode.zip",
       "",
       3,
       {{"EXE/TEST.EXE", "sharpcompress/Original/exe/test.exe"}}},
      {"sharpcompress/Zip.deflate64.zip",
       "",
       3,
       {{"jpg/test.jpg", "sharpcompress/Original/jpg/test.jpg"}}},
      {"sharpcompress/zipcrypto.zip", "test", 8, {}},
      {"sharpcompress/Zip.deflate.pkware.zip", "12345678", 1, {}},
      {"commons-compress/SHRUNK.ZIP", "", 2, {}},
      {"commons-compress/imploding-4Kdict-2trees.zip", "", 1, {}},
      {"commons-compress/imploding-8Kdict-3trees.zip", "", 1, {}},
      {"libarchive/test_compat_zip_implode.zip", "", 5, {}},
      // Data descriptors: the password's check byte comes from the time.
      {"libarchive/test_read_format_zip_traditional_encryption_data.zip", "12345678", 2, {}},
  };
  for (const LegacyCase& c : cases) {
    SCOPED_TRACE(c.archive);
    TUnZip unzip;
    ErrorLog log(unzip);
    unzip.SetArchiveFile((Fixtures() / c.archive).string());
    unzip.FileSpec = {"*.*"};
    if (*c.password) {
      unzip.Passwords = {c.password};
    }
    // Test decodes every member and checks its CRC-32 and size.
    EXPECT_EQ(unzip.Test(), c.members) << log.Describe();
    EXPECT_TRUE(log.errors.empty()) << log.Describe();
    if (c.known.empty()) {
      continue;
    }
    TempDir out;
    unzip.SetExtractDir(out.str());
    EXPECT_EQ(unzip.Extract(), c.members) << log.Describe();
    for (const KnownMember& m : c.known) {
      EXPECT_TRUE(ReadFileBytes(out.path() / m.name) == ReadFileBytes(Fixtures() / m.original))
          << m.name;
    }
  }
}

TEST(LegacyMethodsTest, UnsupportedAndUnreadableEncryption) {
  const struct {
    const char* archive;
    const char* password;
    int code;
  } cases[] = {
      // WinZip AES (method 99) and bzip2 (method 12).
      {"sharpcompress/Zip.none.encrypted.zip", "test", kErrUnsupportedMethod},
      {"sharpcompress/Zip.bzip2.pkware.zip", "test", kErrUnsupportedMethod},
      {"sharpcompress/zipcrypto.zip", "wrong", kErrInvalidPassword},
      {"sharpcompress/zipcrypto.zip", "", kErrEventNotAssigned},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + " " + c.password);
    TempDir out;
    TUnZip unzip;
    ErrorLog log(unzip);
    unzip.SetArchiveFile((Fixtures() / c.archive).string());
    unzip.SetExtractDir(out.str());
    unzip.FileSpec = {"*.*"};
    if (*c.password) {
      unzip.Passwords = {c.password};
    }
    unzip.Extract();
    EXPECT_TRUE(log.Has(c.code)) << log.Describe();
    EXPECT_FALSE(unzip.Succeeded());
    EXPECT_GT(unzip.FailedCount(), 0);
    EXPECT_TRUE(TempLeftovers(out.path()).empty());
  }
}

}  // namespace
}  // namespace qm::zip::testing
