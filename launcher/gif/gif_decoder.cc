#include "launcher/gif/gif_decoder.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace qm::gif {

namespace {

constexpr int kMaxCodes = 4096;

class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}

  bool Has(size_t n) const { return data_.size() - pos_ >= n; }
  bool AtEnd() const { return pos_ >= data_.size(); }
  uint8_t Byte() { return static_cast<uint8_t>(data_[pos_++]); }
  uint16_t Word() {
    uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  std::string_view Take(size_t n) {
    n = std::min(n, data_.size() - pos_);
    std::string_view part = data_.substr(pos_, n);
    pos_ += n;
    return part;
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

using ColourTable = std::vector<uint32_t>;  // 0xFFRRGGBB per entry

bool ReadColourTable(Reader& in, int size_bits, ColourTable* table) {
  size_t count = size_t{1} << (size_bits + 1);
  if (!in.Has(count * 3)) {
    return false;
  }
  table->resize(count);
  for (uint32_t& colour : *table) {
    uint32_t r = in.Byte();
    uint32_t g = in.Byte();
    uint32_t b = in.Byte();
    colour = 0xFF000000u | (r << 16) | (g << 8) | b;
  }
  return true;
}

// Skips a chain of data sub-blocks up to and including its terminator.
bool SkipSubBlocks(Reader& in) {
  while (true) {
    if (!in.Has(1)) {
      return false;
    }
    uint8_t size = in.Byte();
    if (size == 0) {
      return true;
    }
    if (!in.Has(size)) {
      return false;
    }
    in.Take(size);
  }
}

// Reads codes of a growing width, least significant bit first.
class BitReader {
 public:
  explicit BitReader(const std::string& data) : data_(data) {}

  std::optional<int> Read(int width) {
    while (bit_count_ < width) {
      if (pos_ >= data_.size()) {
        return std::nullopt;
      }
      bits_ |= static_cast<uint32_t>(static_cast<uint8_t>(data_[pos_++])) << bit_count_;
      bit_count_ += 8;
    }
    int code = static_cast<int>(bits_ & ((1u << width) - 1));
    bits_ >>= width;
    bit_count_ -= width;
    return code;
  }

 private:
  const std::string& data_;
  size_t pos_ = 0;
  uint32_t bits_ = 0;
  int bit_count_ = 0;
};

// LZW decoding of an image's indices. Fills indices completely or fails.
bool DecodeLzw(const std::string& data,
               int min_code_size,
               std::vector<uint8_t>* indices,
               std::string* error) {
  const int clear = 1 << min_code_size;
  const int end = clear + 1;
  std::array<uint16_t, kMaxCodes> prefix{};
  std::array<uint8_t, kMaxCodes> suffix{};
  std::array<uint8_t, kMaxCodes> first{};
  std::array<uint16_t, kMaxCodes> length{};
  for (int i = 0; i < clear; ++i) {
    suffix[i] = static_cast<uint8_t>(i);
    first[i] = static_cast<uint8_t>(i);
    length[i] = 1;
  }
  std::vector<uint8_t> stack(kMaxCodes);

  BitReader bits(data);
  int code_size = min_code_size + 1;
  int next = clear + 2;
  int prev = -1;
  size_t out = 0;
  const size_t total = indices->size();

  while (out < total) {
    std::optional<int> read = bits.Read(code_size);
    if (!read) {
      *error = "truncated image data";
      return false;
    }
    int code = *read;
    if (code == clear) {
      code_size = min_code_size + 1;
      next = clear + 2;
      prev = -1;
      continue;
    }
    if (code == end) {
      *error = "truncated image data";
      return false;
    }
    if (prev < 0) {
      if (code > clear) {
        *error = "corrupt image data (invalid LZW code)";
        return false;
      }
      (*indices)[out++] = static_cast<uint8_t>(code);
      prev = code;
      continue;
    }
    int entry;
    uint8_t first_byte;
    if (code < next) {
      entry = code;
      first_byte = first[code];
    } else if (code == next && next < kMaxCodes) {
      entry = -1;  // prev's string followed by its own first byte
      first_byte = first[prev];
    } else {
      *error = "corrupt image data (invalid LZW code)";
      return false;
    }
    if (next < kMaxCodes) {
      prefix[next] = static_cast<uint16_t>(prev);
      suffix[next] = first_byte;
      first[next] = first[prev];
      length[next] = static_cast<uint16_t>(length[prev] + 1);
      if (entry < 0) {
        entry = next;
      }
      ++next;
      if (next == (1 << code_size) && code_size < 12) {
        ++code_size;
      }
    }
    // Unwind the entry's string; pixels beyond the image are dropped.
    int n = length[entry];
    int c = entry;
    for (int i = n - 1; i >= 0; --i) {
      stack[i] = suffix[c];
      c = prefix[c];
    }
    size_t take = std::min(static_cast<size_t>(n), total - out);
    std::copy_n(stack.begin(), take, indices->begin() + static_cast<std::ptrdiff_t>(out));
    out += take;
    prev = code;
  }
  return true;
}

}  // namespace

bool DecodeGif(std::string_view data, platform::Picture* picture, std::string* error) {
  Reader in(data);
  if (!in.Has(6)) {
    *error = "not a GIF file";
    return false;
  }
  std::string_view signature = in.Take(6);
  if (signature != "GIF87a" && signature != "GIF89a") {
    *error = "not a GIF file";
    return false;
  }
  if (!in.Has(7)) {
    *error = "truncated GIF header";
    return false;
  }
  int screen_width = in.Word();
  int screen_height = in.Word();
  uint8_t screen_flags = in.Byte();
  in.Take(2);  // background colour index, pixel aspect ratio
  ColourTable global_table;
  if ((screen_flags & 0x80) && !ReadColourTable(in, screen_flags & 7, &global_table)) {
    *error = "truncated colour table";
    return false;
  }

  int transparent = -1;
  while (true) {
    if (!in.Has(1)) {
      *error = "truncated GIF file: no image found";
      return false;
    }
    uint8_t introducer = in.Byte();
    if (introducer == 0x3B) {
      *error = "GIF file has no image";
      return false;
    }
    if (introducer == 0x21) {
      if (!in.Has(1)) {
        *error = "truncated extension block";
        return false;
      }
      uint8_t label = in.Byte();
      if (label == 0xF9) {
        if (!in.Has(1)) {
          *error = "truncated extension block";
          return false;
        }
        uint8_t size = in.Byte();
        if (size < 4 || !in.Has(size)) {
          *error = size < 4 ? "corrupt graphic control extension" : "truncated extension block";
          return false;
        }
        std::string_view block = in.Take(size);
        bool has_transparent = (static_cast<uint8_t>(block[0]) & 1) != 0;
        transparent = has_transparent ? static_cast<uint8_t>(block[3]) : -1;
      }
      if (!SkipSubBlocks(in)) {
        *error = "truncated extension block";
        return false;
      }
      continue;
    }
    if (introducer != 0x2C) {
      *error = "corrupt GIF file: unknown block type";
      return false;
    }
    break;
  }

  if (!in.Has(9)) {
    *error = "truncated image descriptor";
    return false;
  }
  int left = in.Word();
  int top = in.Word();
  int width = in.Word();
  int height = in.Word();
  uint8_t image_flags = in.Byte();
  if (width == 0 || height == 0) {
    *error = "image has no pixels";
    return false;
  }
  int canvas_width = std::max(screen_width, left + width);
  int canvas_height = std::max(screen_height, top + height);
  if (static_cast<long long>(canvas_width) * canvas_height > kMaxPixels) {
    *error = "picture too large";
    return false;
  }
  ColourTable local_table;
  if ((image_flags & 0x80) && !ReadColourTable(in, image_flags & 7, &local_table)) {
    *error = "truncated colour table";
    return false;
  }
  const ColourTable& table = (image_flags & 0x80) ? local_table : global_table;
  if (table.empty()) {
    *error = "image has no colour table";
    return false;
  }

  if (!in.Has(1)) {
    *error = "truncated image data";
    return false;
  }
  int min_code_size = in.Byte();
  if (min_code_size < 1 || min_code_size > 8) {
    *error = "corrupt image data (invalid LZW code size)";
    return false;
  }
  // Gather the sub-blocks; a missing terminator only matters when pixels
  // are missing too.
  std::string lzw;
  while (in.Has(1)) {
    uint8_t size = in.Byte();
    if (size == 0) {
      break;
    }
    lzw.append(in.Take(size));
  }

  std::vector<uint8_t> indices(static_cast<size_t>(width) * height);
  if (!DecodeLzw(lzw, min_code_size, &indices, error)) {
    return false;
  }

  std::vector<uint32_t> pixels(static_cast<size_t>(canvas_width) * canvas_height, 0);
  // Source row i goes to this destination row (interlaced: passes of every
  // 8th row from 0, every 8th from 4, every 4th from 2, every 2nd from 1).
  std::vector<int> row_of(height);
  if (image_flags & 0x40) {
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    int i = 0;
    for (int pass = 0; pass < 4; ++pass) {
      for (int y = kStart[pass]; y < height; y += kStep[pass]) {
        row_of[i++] = y;
      }
    }
  } else {
    for (int y = 0; y < height; ++y) {
      row_of[y] = y;
    }
  }
  for (int i = 0; i < height; ++i) {
    const uint8_t* src = &indices[static_cast<size_t>(i) * width];
    uint32_t* dst = &pixels[static_cast<size_t>(top + row_of[i]) * canvas_width + left];
    for (int x = 0; x < width; ++x) {
      int index = src[x];
      if (index == transparent) {
        dst[x] = 0;
      } else if (static_cast<size_t>(index) < table.size()) {
        dst[x] = table[index];
      } else {
        *error = "corrupt image data (colour index outside the colour table)";
        return false;
      }
    }
  }
  picture->width = canvas_width;
  picture->height = canvas_height;
  picture->pixels = std::move(pixels);
  return true;
}

}  // namespace qm::gif
