// Writes 32-bit pixels (0x00RRGGBB) as an RGB PNG with stored (uncompressed)
// deflate blocks: enough for screenshots, no zlib needed in the Windows build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::test {

std::string EncodePng(int width, int height, const std::vector<uint32_t>& pixels);
bool WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels);

}  // namespace qm::test
