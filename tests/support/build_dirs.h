// The source and build trees, as ctest passes them (QM_SOURCE_DIR,
// QM_BINARY_DIR), and Unix paths as this process opens them.
#pragma once

#include <filesystem>
#include <string>

namespace qm::test_support {

// The variable's value as set; fallback when it is not.
std::string SourceDir(const std::string& fallback = ".");
std::string BinaryDir(const std::string& fallback = ".");

// A Unix path for std::filesystem: under Wine the Unix root is drive Z:.
std::filesystem::path HostPath(const std::string& unix_path);

}  // namespace qm::test_support
