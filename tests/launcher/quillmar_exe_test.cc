#include <gtest/gtest.h>

#include <string>

#include "tests/launcher/launcher_harness.h"
#include "util/version_string.h"

namespace qm {
namespace {

// The built executable carries its version resource (a PE resource on
// Windows, the same block in a section of its own natively).
TEST(QuillMarExeTest, CarriesItsVersion) {
  const std::string exe = testing::BinaryDir() + "/launcher/QuillMar.exe";
  EXPECT_EQ(GetFileVersionString(exe, "ProductVersion"), "82001-000-500-000001");
  EXPECT_EQ(GetFileVersionString(exe, "FileVersion"), "3.0.0.0");
}

}  // namespace
}  // namespace qm
