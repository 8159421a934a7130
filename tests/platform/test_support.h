// Helpers shared by the platform tests: temporary folders and the two forms
// of a path (what the OS library takes, and the system's own "\" form).
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qm::platform::testing {

// A Linux path as the backend under test writes it: "\" separators; under
// Wine the Linux root is drive Z:.
inline std::string SystemPath(std::string linux_path) {
  std::replace(linux_path.begin(), linux_path.end(), '/', '\\');
#ifdef _WIN32
  return "Z:" + linux_path;
#else
  return linux_path;
#endif
}

// The same path for std::filesystem in the test itself.
inline std::filesystem::path OsPath(const std::string& linux_path) {
#ifdef _WIN32
  return std::filesystem::path(SystemPath(linux_path));
#else
  return std::filesystem::path(linux_path);
#endif
}

inline std::string BinaryDir() {
  const char* dir = getenv("QM_BINARY_DIR");
  return dir ? dir : "/tmp";
}

// A fresh folder below the build tree, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    linux_path_ =
        BinaryDir() + "/platform-test-" + std::to_string(stamp) + "-" + std::to_string(counter++);
    std::filesystem::create_directories(OsPath(linux_path_));
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(OsPath(linux_path_), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(OsPath(linux_path_), ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // name may hold "/" for subfolders.
  std::string linux_path(const std::string& name = "") const {
    return name.empty() ? linux_path_ : linux_path_ + "/" + name;
  }
  std::string path(const std::string& name = "") const { return SystemPath(linux_path(name)); }
  std::filesystem::path os_path(const std::string& name = "") const {
    return OsPath(linux_path(name));
  }

  void Write(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories(os_path(name).parent_path());
    std::ofstream out(os_path(name), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(os_path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string linux_path_;
};

}  // namespace qm::platform::testing
