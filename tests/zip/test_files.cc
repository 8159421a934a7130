#include "tests/zip/test_files.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qm::zip::testing {
namespace {

fs::path FromEnv(const char* name) {
  const char* value = std::getenv(name);
  if (!value) {
    return fs::path();
  }
  std::string path = value;
#ifdef _WIN32
  if (!path.empty() && path[0] == '/')
    path = "Z:" + path;
#endif
  return fs::path(path);
}

}  // namespace

fs::path SourceDir() {
  return FromEnv("QM_SOURCE_DIR");
}

fs::path BinaryDir() {
  return FromEnv("QM_BINARY_DIR");
}

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = fs::temp_directory_path() /
          ("qm-unzip-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Read-only files that a test left behind must not block the removal.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::map<std::string, std::string> ReadTree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(entry.path(), root).generic_string();
    if (entry.is_directory()) {
      tree[rel + "/"] = "";
    } else {
      tree[rel] = ReadBytes(entry.path());
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
