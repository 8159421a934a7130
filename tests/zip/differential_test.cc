// Archives made by Info-ZIP zip, 7-Zip, Python's zipfile and jar files of
// Debian packages, each unpacked by TUnZip and compared file by file with
// what Info-ZIP unzip made of it at build time.
#include <gtest/gtest.h>

#include "tests/zip/extract_test_util.h"
#include "zip/unzip_error.h"

namespace qm::zip::testing {
namespace {

std::vector<fs::path> ArchivesMadeByTools() {
  std::vector<fs::path> archives;
  for (const auto& entry : fs::directory_iterator(GeneratedArchives() / "archives")) {
    archives.push_back(entry.path());
  }
  std::sort(archives.begin(), archives.end());
  return archives;
}

TEST(DifferentialTest, SameTreeAsInfoZipUnzip) {
  std::vector<fs::path> archives = ArchivesMadeByTools();
  // The generator's set: the tools' archives and at least one system jar.
  ASSERT_GE(archives.size(), 12u) << GeneratedArchives();
  for (const fs::path& archive : archives) {
    const std::string name = archive.filename().string();
    SCOPED_TRACE(name);
    auto expected = ReadTree(GeneratedArchives() / "expected" / name);
    ASSERT_FALSE(expected.empty());
    int expected_files = 0;
    for (const auto& [path, content] : expected) {
      expected_files += path.back() != '/';
    }

    TempDir out;
    TUnZip unzip;
    ErrorLog log(unzip);
    unzip.SetArchiveFile(archive.string());
    ASSERT_EQ(unzip.ArchiveFile().empty(), false);
    unzip.SetExtractDir(out.str());
    unzip.FileSpec = {"*.*"};
    unzip.Passwords = {"secret"};
    unzip.CreateStoredDirs = true;  // unzip makes empty folders too
    int count = unzip.Extract();

    EXPECT_TRUE(log.errors.empty()) << log.Describe();
    EXPECT_EQ(count, expected_files);
    EXPECT_EQ(unzip.FailedCount(), 0);
    EXPECT_TRUE(unzip.Succeeded());
    auto actual = ReadTree(out.path());
    EXPECT_EQ(actual.size(), expected.size());
    for (const auto& [path, content] : expected) {
      auto it = actual.find(path);
      ASSERT_NE(it, actual.end()) << "missing " << path;
      EXPECT_TRUE(it->second == content) << "content differs: " << path;
    }
  }
}

TEST(DifferentialTest, RecognisedTypes) {
  const struct {
    const char* archive;
    TArcType type;
  } cases[] = {
      {"deflated.zip", TArcType::atZip},
      {"stub-adjusted.zip", TArcType::atZipExe},
      {"stub-unadjusted.zip", TArcType::atZipExe},
      {"python-zip64.zip", TArcType::atZip},
  };
  for (const auto& c : cases) {
    TUnZip unzip;
    unzip.SetArchiveFile((GeneratedArchives() / "archives" / c.archive).string());
    EXPECT_EQ(unzip.ArcType(), c.type) << c.archive << " " << ArcTypeName(unzip.ArcType());
  }
  for (const fs::path& archive : ArchivesMadeByTools()) {
    if (archive.extension() != ".jar") {
      continue;
    }
    TUnZip unzip;
    unzip.SetArchiveFile(archive.string());
    EXPECT_EQ(unzip.ArcType(), TArcType::atJar) << archive;
  }
}

}  // namespace
}  // namespace qm::zip::testing
