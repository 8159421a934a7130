// Helpers shared by the platform tests: temporary folders and the two forms
// of a path (what the OS library takes, and the system's own "\" form).
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

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
  return test_support::BinaryDir("/tmp");
}

// A fresh folder below the build tree, removed with everything in it, with
// its paths in both forms.
class SystemTempDir {
 public:
  SystemTempDir()
      : dir_("platform-test", OsPath(BinaryDir())),
        linux_path_(BinaryDir() + "/" + dir_.path().filename().string()) {}

  // name may hold "/" for subfolders.
  std::string linux_path(const std::string& name = "") const {
    return name.empty() ? linux_path_ : linux_path_ + "/" + name;
  }
  std::string path(const std::string& name = "") const { return SystemPath(linux_path(name)); }
  std::filesystem::path os_path(const std::string& name = "") const {
    return OsPath(linux_path(name));
  }

  void Write(const std::string& name, const std::string& bytes) const {
    test_support::WriteFileBytes(os_path(name), bytes);
  }
  std::string Read(const std::string& name) const {
    return test_support::ReadFileBytes(os_path(name));
  }

 private:
  test_support::TempDir dir_;
  std::string linux_path_;
};

}  // namespace qm::platform::testing
