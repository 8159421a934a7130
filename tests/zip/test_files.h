// Trees of files for the extractor tests: where the archives are, and
// reading and comparing extracted trees.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace qm::zip::testing {

namespace fs = std::filesystem;

// QM_SOURCE_DIR / QM_BINARY_DIR as this process can open them (under Wine
// the Unix paths are reached through drive Z:).
fs::path SourceDir();
fs::path BinaryDir();

using test_support::ReadFileBytes;
using test_support::TempDir;
using test_support::WriteFileBytes;

// Relative path ("/" separators) -> content, "" + trailing "/" for folders.
std::map<std::string, std::string> ReadTree(const fs::path& root);

// Files whose names show a temporary output file of the extractor.
std::vector<std::string> TempLeftovers(const fs::path& root);

}  // namespace qm::zip::testing
