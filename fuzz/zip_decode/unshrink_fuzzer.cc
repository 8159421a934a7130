#include "fuzz/zip_decode/fuzz_support.h"

// The first two bytes give the expected size in units of 16 bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  uint64_t expected = (data[0] | data[1] << 8) * 16ull;
  qm::zip::fuzz::DecodeBothWays(1, 0, expected, data + 2, size - 2);
  return 0;
}
