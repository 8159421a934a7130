#include "launcher/gif/gif_encoder.h"

#include <unordered_map>

namespace qm::gif {

namespace {

void PutWord(std::string& out, int value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

class BitWriter {
 public:
  void Write(int code, int width) {
    bits_ |= static_cast<uint32_t>(code) << count_;
    count_ += width;
    while (count_ >= 8) {
      bytes_ += static_cast<char>(bits_ & 0xFF);
      bits_ >>= 8;
      count_ -= 8;
    }
  }
  std::string Finish() {
    if (count_ > 0) {
      bytes_ += static_cast<char>(bits_ & 0xFF);
    }
    return bytes_;
  }

 private:
  std::string bytes_;
  uint32_t bits_ = 0;
  int count_ = 0;
};

std::string CompressLzw(const std::vector<uint8_t>& pixels, int min_code_size) {
  const int clear = 1 << min_code_size;
  const int end = clear + 1;
  BitWriter out;
  std::unordered_map<uint32_t, int> table;  // (prefix code << 8 | byte) -> code
  int code_size = min_code_size + 1;
  int next = clear + 2;
  out.Write(clear, code_size);
  int prefix = -1;
  for (uint8_t pixel : pixels) {
    if (prefix < 0) {
      prefix = pixel;
      continue;
    }
    uint32_t key = (static_cast<uint32_t>(prefix) << 8) | pixel;
    auto found = table.find(key);
    if (found != table.end()) {
      prefix = found->second;
      continue;
    }
    out.Write(prefix, code_size);
    table.emplace(key, next++);
    if (next > (1 << code_size) && code_size < 12) {
      ++code_size;
    }
    if (next == 4096) {
      out.Write(clear, code_size);
      table.clear();
      code_size = min_code_size + 1;
      next = clear + 2;
    }
    prefix = pixel;
  }
  if (prefix >= 0) {
    out.Write(prefix, code_size);
  }
  out.Write(end, code_size);
  return out.Finish();
}

}  // namespace

std::string EncodeGif(const IndexedImage& image) {
  const size_t colours = image.palette.size();
  if (image.width <= 0 || image.height <= 0 || image.width > 0xFFFF || image.height > 0xFFFF ||
      colours == 0 || colours > 256 ||
      image.indices.size() != static_cast<size_t>(image.width) * image.height) {
    return std::string();
  }
  for (uint8_t index : image.indices) {
    if (index >= colours) {
      return std::string();
    }
  }
  int table_bits = 1;
  while ((size_t{1} << table_bits) < colours) {
    ++table_bits;
  }
  std::string out = "GIF89a";
  PutWord(out, image.width);
  PutWord(out, image.height);
  out += static_cast<char>(0x80 | ((table_bits - 1) << 4) | (table_bits - 1));
  out += '\0';  // background colour index
  out += '\0';  // no aspect ratio
  for (size_t i = 0; i < (size_t{1} << table_bits); ++i) {
    uint32_t rgb = i < colours ? image.palette[i] : 0;
    out += static_cast<char>((rgb >> 16) & 0xFF);
    out += static_cast<char>((rgb >> 8) & 0xFF);
    out += static_cast<char>(rgb & 0xFF);
  }
  if (image.transparent_index >= 0) {
    out += "\x21\xF9\x04";
    out += '\x01';
    PutWord(out, 0);
    out += static_cast<char>(image.transparent_index);
    out += '\0';
  }
  out += '\x2C';
  PutWord(out, 0);
  PutWord(out, 0);
  PutWord(out, image.width);
  PutWord(out, image.height);
  out += static_cast<char>(image.interlaced ? 0x40 : 0);

  std::vector<uint8_t> rows;
  rows.reserve(image.indices.size());
  auto append_row = [&](int y) {
    auto begin = image.indices.begin() + static_cast<std::ptrdiff_t>(y) * image.width;
    rows.insert(rows.end(), begin, begin + image.width);
  };
  if (image.interlaced) {
    static constexpr int kStart[] = {0, 4, 2, 1};
    static constexpr int kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass) {
      for (int y = kStart[pass]; y < image.height; y += kStep[pass]) {
        append_row(y);
      }
    }
  } else {
    for (int y = 0; y < image.height; ++y) {
      append_row(y);
    }
  }

  const int min_code_size = table_bits < 2 ? 2 : table_bits;
  out += static_cast<char>(min_code_size);
  std::string data = CompressLzw(rows, min_code_size);
  for (size_t pos = 0; pos < data.size(); pos += 255) {
    size_t size = std::min<size_t>(255, data.size() - pos);
    out += static_cast<char>(size);
    out.append(data, pos, size);
  }
  out += '\0';
  out += '\x3B';
  return out;
}

}  // namespace qm::gif
