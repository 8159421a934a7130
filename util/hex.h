// Lower-case hexadecimal text of byte strings, as the integrity files
// write digests, keys and signatures.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qm {

std::string HexOf(const uint8_t* data, size_t size);
template <size_t N>
std::string HexOf(const std::array<uint8_t, N>& bytes) {
  return HexOf(bytes.data(), N);
}

// Exactly size bytes from 2 * size hex digits (either letter case); false
// for any other text.
bool ParseHex(const std::string& text, uint8_t* out, size_t size);
template <size_t N>
std::optional<std::array<uint8_t, N>> ParseHexArray(const std::string& text) {
  std::array<uint8_t, N> bytes{};
  if (!ParseHex(text, bytes.data(), N)) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace qm
