#include "util/version_string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace qm {
namespace {

std::string Fixture(const std::string& name) {
  const char* dir = std::getenv("QM_BINARY_DIR");
  EXPECT_NE(dir, nullptr) << "QM_BINARY_DIR is not set";
  return std::string(dir ? dir : ".") + "/tests/util/" + name;
}

TEST(GetFileVersionStringTest, Table) {
  struct Case {
    std::string file;
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {Fixture("two_translations.exe"), "ProductVersion", "82001-000-500-000001"},
      {Fixture("two_translations.exe"), "FileVersion", "3.0.0.0"},
      // Only the first translation's table is consulted.
      {Fixture("two_translations.exe"), "Comments", "?"},
      {Fixture("two_translations.exe"), "productversion_missing", "?"},
      {Fixture("no_translation.exe"), "FileVersion", "?"},
      {Fixture("no_version.exe"), "FileVersion", "?"},
      {Fixture("does_not_exist.exe"), "FileVersion", "?"},
      {Fixture(""), "FileVersion", "?"},  // a folder, not a file
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetFileVersionString(c.file, c.name), c.expected) << c.file << " " << c.name;
  }
}

}  // namespace
}  // namespace qm
