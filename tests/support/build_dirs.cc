#include "tests/support/build_dirs.h"

#include <cstdlib>

namespace qm::test_support {

namespace {

std::string FromEnv(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value ? value : fallback;
}

}  // namespace

std::string SourceDir(const std::string& fallback) {
  return FromEnv("QM_SOURCE_DIR", fallback);
}

std::string BinaryDir(const std::string& fallback) {
  return FromEnv("QM_BINARY_DIR", fallback);
}

std::filesystem::path HostPath(const std::string& unix_path) {
#ifdef _WIN32
  if (!unix_path.empty() && unix_path[0] == '/') {
    return std::filesystem::path("Z:" + unix_path);
  }
#endif
  return std::filesystem::path(unix_path);
}

}  // namespace qm::test_support
