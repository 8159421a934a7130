// Helpers for building GIF files code by code in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::gif::testing {

// Writes LZW codes at the width a decoder expects: after each code but the
// first following a clear, one table entry is added while the table has
// room, and the width grows when the next free entry needs another bit.
class CodeWriter {
 public:
  explicit CodeWriter(int min_code_size);

  void Clear();
  void End();
  void Code(int code);  // a literal or table code, counted as an addition
  // Writes code at the current width without touching the table state.
  void Raw(int code);
  // The sub-blocks, terminated.
  std::string Blocks() const;

 private:
  void Put(int code);

  int min_code_size_;
  int width_;
  int next_;
  bool first_ = true;
  std::string bytes_;
  uint32_t bits_ = 0;
  int count_ = 0;
};

struct GifParts {
  int screen_width = 1;
  int screen_height = 1;
  std::vector<uint32_t> global_table;  // 0xRRGGBB; empty for none
  std::string before_image;            // extensions
  int left = 0;
  int top = 0;
  int width = 1;
  int height = 1;
  std::vector<uint32_t> local_table;
  bool interlaced = false;
  int min_code_size = 2;
  std::string image_blocks;  // LZW sub-blocks with their terminator
  bool trailer = true;
};

std::string BuildGif(const GifParts& parts);

// A Graphic Control Extension with the given transparent index (or none).
std::string ControlExtension(int transparent_index);

}  // namespace qm::gif::testing
