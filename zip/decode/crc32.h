// CRC-32 of the .ZIP format, for checking members and for the traditional
// encryption's keys.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm::zip {

// CRC-32 of the .ZIP format (reflected polynomial 0xEDB88320), zlib convention:
// start with 0, feed the result back in to continue.
uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t size);

// One step of the raw (not complemented) register, as the traditional
// encryption's key schedule uses it.
uint32_t Crc32Step(uint32_t reg, uint8_t byte);

}  // namespace qm::zip
