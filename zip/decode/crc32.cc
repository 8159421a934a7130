#include "zip/decode/crc32.h"

#include <array>
#include <cstring>

namespace qm::zip {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

// Slicing-by-8: table k gives the CRC of a byte followed by k zero bytes.
constexpr Tables MakeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < 8; ++k) {
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
  }
  return t;
}

constexpr Tables kTables = MakeTables();

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

uint32_t Crc32Step(uint32_t reg, uint8_t byte) {
  return kTables[0][(reg ^ byte) & 0xFF] ^ (reg >> 8);
}

uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t size) {
  uint32_t c = ~crc;
  while (size >= 8) {
    uint32_t lo = LoadLe32(data) ^ c;
    uint32_t hi = LoadLe32(data + 4);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    data += 8;
    size -= 8;
  }
  while (size--) {
    c = kTables[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  }
  return ~c;
}

}  // namespace qm::zip
