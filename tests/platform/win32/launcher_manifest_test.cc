// Every launcher the build makes carries an application manifest that keeps
// it at the rights of the user who starts it: a 32-bit program named like an
// updater and without one is elevated by Windows' installer detection.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/platform/win32/test_support.h"

namespace qm {
namespace {

// Paths of the built launchers, one a line, as the build lists them.
std::vector<std::string> Launchers() {
  std::ifstream in(test::BinaryDir() + "/tests/platform/win32/launchers.txt");
  std::vector<std::string> paths;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty())
      paths.push_back(line);
  }
  return paths;
}

// The program's manifest (RT_MANIFEST, ID 1), or "" when it has none.
std::string EmbeddedManifest(const std::string& path) {
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) {
    ADD_FAILURE() << "cannot open " << path << " as a data file";
    return {};
  }
  std::string text;
  if (HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
    HGLOBAL loaded = LoadResource(module, resource);
    const char* data = static_cast<const char*>(LockResource(loaded));
    if (data)
      text.assign(data, SizeofResource(module, resource));
  }
  FreeLibrary(module);
  return text;
}

// The level attribute of the requestedExecutionLevel element, "" if none.
std::string ExecutionLevel(const std::string& manifest) {
  static const std::regex kElement(R"(<requestedExecutionLevel\s[^>]*\blevel\s*=\s*"([^"]*)\")");
  std::smatch match;
  return std::regex_search(manifest, match, kElement) ? match[1].str() : "";
}

TEST(LauncherManifestTest, EveryLauncherRunsAsInvoker) {
  const std::vector<std::string> launchers = Launchers();
  ASSERT_FALSE(launchers.empty()) << "the build lists no launchers";
  for (const std::string& path : launchers) {
    const std::string manifest = EmbeddedManifest(path);
    ASSERT_FALSE(manifest.empty()) << path << " has no manifest";
    EXPECT_EQ(ExecutionLevel(manifest), "asInvoker") << path;
    EXPECT_NE(manifest.find(R"(uiAccess="false")"), std::string::npos) << path;
    // A common-controls dependency would change the look of the dialogs.
    EXPECT_EQ(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos) << path;
  }
}

}  // namespace
}  // namespace qm
