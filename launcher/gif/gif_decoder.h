// Decoder for GIF87a and GIF89a pictures: the first image of a file, with
// its global or local colour table, interlacing and the transparent colour of
// its Graphic Control Extension. Every read is bounds-checked; a damaged file
// gives a readable error text instead of a picture.
#pragma once

#include <string>
#include <string_view>

#include "platform/ui.h"

namespace qm::gif {

// Largest canvas the decoder accepts, in pixels; bigger claims are refused
// before anything is allocated.
inline constexpr long long kMaxPixels = 16LL * 1024 * 1024;

// Decodes the first image into picture, whose size is the logical screen
// (grown to hold the image when the screen is smaller). Pixels that the image
// leaves uncovered or marks transparent are 0x00000000; others are
// 0xFFRRGGBB. On failure returns false, leaves picture untouched and sets
// error to a short English text such as "not a GIF file".
bool DecodeGif(std::string_view data, platform::Picture* picture, std::string* error);

}  // namespace qm::gif
