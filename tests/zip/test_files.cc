#include "tests/zip/test_files.h"

#include "tests/support/build_dirs.h"

namespace qm::zip::testing {
fs::path SourceDir() {
  return test_support::HostPath(test_support::SourceDir(""));
}

fs::path BinaryDir() {
  return test_support::HostPath(test_support::BinaryDir(""));
}

std::map<std::string, std::string> ReadTree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(entry.path(), root).generic_string();
    if (entry.is_directory()) {
      tree[rel + "/"] = "";
    } else {
      tree[rel] = ReadFileBytes(entry.path());
    }
  }
  return tree;
}

std::vector<std::string> TempLeftovers(const fs::path& root) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("~qmz", 0) == 0 || name.find(".qmcopy") != std::string::npos) {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

}  // namespace qm::zip::testing
