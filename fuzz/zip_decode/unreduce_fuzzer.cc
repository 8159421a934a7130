#include "fuzz/zip_decode/fuzz_support.h"

// Byte 0 picks the factor (method 2 to 5); bytes 1-2 give the expected size in units of 16.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3)
    return 0;
  uint16_t method = 2 + data[0] % 4;
  uint64_t expected = (data[1] | data[2] << 8) * 16ull;
  qm::zip::fuzz::DecodeBothWays(method, 0, expected, data + 3, size - 3);
  return 0;
}
