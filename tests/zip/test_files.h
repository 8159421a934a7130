// Files and folders for the extractor tests: the source and build trees,
// fresh temporary folders, reading and comparing trees.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qm::zip::testing {

namespace fs = std::filesystem;

// QM_SOURCE_DIR / QM_BINARY_DIR as this process can open them (under Wine
// the Unix paths are reached through drive Z:).
fs::path SourceDir();
fs::path BinaryDir();

// A fresh empty folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  // The path as the extractor takes it.
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::string& bytes);

// Relative path ("/" separators) -> content, "" + trailing "/" for folders.
std::map<std::string, std::string> ReadTree(const fs::path& root);

// Files whose names show a temporary output file of the extractor.
std::vector<std::string> TempLeftovers(const fs::path& root);

}  // namespace qm::zip::testing
