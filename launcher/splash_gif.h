// The built-in splash picture, a 380 x 220 GIF carried with the window.
#pragma once

#include <cstddef>

namespace qm {

extern const unsigned char kSplashGif[];
extern const size_t kSplashGifSize;

}  // namespace qm
