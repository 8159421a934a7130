// A small GIF89a encoder for pictures made of palette indices: one image,
// global colour table, LZW with a clear code whenever the table fills.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::gif {

struct IndexedImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> palette;  // 0xRRGGBB, 1 to 256 entries
  std::vector<uint8_t> indices;   // width * height, each < palette.size()
  int transparent_index = -1;     // written as a Graphic Control Extension
  bool interlaced = false;
};

// The encoded file; empty when the image is inconsistent.
std::string EncodeGif(const IndexedImage& image);

}  // namespace qm::gif
