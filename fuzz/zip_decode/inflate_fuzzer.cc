#include "fuzz/zip_decode/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::zip::fuzz::DecodeBothWays(8, 0, 0, data, size);
  return 0;
}
