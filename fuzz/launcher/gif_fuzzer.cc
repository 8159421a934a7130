// Feeds arbitrary bytes to the GIF decoder: it must fail cleanly or produce
// a picture whose size matches its pixels.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "launcher/gif/gif_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qm::platform::Picture picture;
  std::string error;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  if (qm::gif::DecodeGif(input, &picture, &error)) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() != static_cast<size_t>(picture.width) * picture.height) {
      std::abort();
    }
  } else if (error.empty()) {
    std::abort();
  }
  return 0;
}
