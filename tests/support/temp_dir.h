// A fresh empty folder for one test.
#pragma once

#include <filesystem>
#include <string>

namespace qm::test_support {

// Made below base (the system's temporary folder by default) and removed at
// the end with everything in it, read-only entries included.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "qm-test",
                   const std::filesystem::path& base = std::filesystem::temp_directory_path());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // name may hold "/" for subfolders.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace qm::test_support
