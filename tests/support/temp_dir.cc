#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <random>

namespace qm::test_support {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix, const fs::path& base) {
  // Processes of the same test binary run side by side under ctest -j: the
  // random part keeps them apart, the counter keeps one process's apart.
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = base / (prefix + "-" + std::to_string(std::random_device{}()) + "-" +
                  std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only entries a test left behind must not block the removal.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code ignored;
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ec);
}

}  // namespace qm::test_support
