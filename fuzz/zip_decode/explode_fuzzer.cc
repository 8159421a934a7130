#include "fuzz/zip_decode/fuzz_support.h"

// Byte 0 gives the flags (bit 1 8K window, bit 2 three trees); bytes 1-2 the expected
// size in units of 16.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3)
    return 0;
  uint16_t flags = data[0] & 6;
  uint64_t expected = (data[1] | data[2] << 8) * 16ull;
  qm::zip::fuzz::DecodeBothWays(6, flags, expected, data + 3, size - 3);
  return 0;
}
