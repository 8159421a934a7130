// Whole files as byte strings.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace qm::test_support {

// The file's bytes; "" when it cannot be opened.
std::string ReadFileBytes(const std::filesystem::path& path);

// Replaces the file with bytes, creating its parent folders; false when
// not every byte was written.
bool WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

}  // namespace qm::test_support
