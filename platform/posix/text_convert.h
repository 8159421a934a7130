// iconv between any two encodings; bytes that do not convert become "?".
#pragma once

#include <cstddef>
#include <string>

namespace qm::platform::posix {

// unit: the size of one code unit of from, skipped when it does not convert.
std::string ConvertText(const char* to, const char* from, const std::string& text, size_t unit = 1);

}  // namespace qm::platform::posix
