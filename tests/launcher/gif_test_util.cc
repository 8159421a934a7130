#include "tests/launcher/gif_test_util.h"

namespace qm::gif::testing {

namespace {

void PutWord(std::string& out, int value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

int TableBits(size_t entries) {
  int bits = 1;
  while ((size_t{1} << bits) < entries) {
    ++bits;
  }
  return bits;
}

void PutTable(std::string& out, const std::vector<uint32_t>& table) {
  if (table.empty()) {
    return;
  }
  size_t padded = size_t{1} << TableBits(table.size());
  for (size_t i = 0; i < padded; ++i) {
    uint32_t rgb = i < table.size() ? table[i] : 0;
    out += static_cast<char>(rgb >> 16);
    out += static_cast<char>(rgb >> 8);
    out += static_cast<char>(rgb);
  }
}

}  // namespace

CodeWriter::CodeWriter(int min_code_size)
    : min_code_size_(min_code_size), width_(min_code_size + 1), next_((1 << min_code_size) + 2) {}

void CodeWriter::Put(int code) {
  bits_ |= static_cast<uint32_t>(code) << count_;
  count_ += width_;
  while (count_ >= 8) {
    bytes_ += static_cast<char>(bits_ & 0xFF);
    bits_ >>= 8;
    count_ -= 8;
  }
}

void CodeWriter::Clear() {
  Put(1 << min_code_size_);
  width_ = min_code_size_ + 1;
  next_ = (1 << min_code_size_) + 2;
  first_ = true;
}

void CodeWriter::End() {
  Put((1 << min_code_size_) + 1);
}

void CodeWriter::Raw(int code) {
  Put(code);
}

void CodeWriter::Code(int code) {
  Put(code);
  if (first_) {
    first_ = false;
    return;
  }
  if (next_ < 4096) {
    ++next_;
    if (next_ == (1 << width_) && width_ < 12) {
      ++width_;
    }
  }
}

std::string CodeWriter::Blocks() const {
  std::string data = bytes_;
  if (count_ > 0) {
    data += static_cast<char>(bits_ & 0xFF);
  }
  std::string out;
  for (size_t pos = 0; pos < data.size(); pos += 255) {
    size_t size = std::min<size_t>(255, data.size() - pos);
    out += static_cast<char>(size);
    out.append(data, pos, size);
  }
  out += '\0';
  return out;
}

std::string BuildGif(const GifParts& parts) {
  std::string out = "GIF89a";
  PutWord(out, parts.screen_width);
  PutWord(out, parts.screen_height);
  if (parts.global_table.empty()) {
    out += '\0';
  } else {
    int bits = TableBits(parts.global_table.size());
    out += static_cast<char>(0x80 | ((bits - 1) << 4) | (bits - 1));
  }
  out += '\0';
  out += '\0';
  PutTable(out, parts.global_table);
  out += parts.before_image;
  out += '\x2C';
  PutWord(out, parts.left);
  PutWord(out, parts.top);
  PutWord(out, parts.width);
  PutWord(out, parts.height);
  int flags = parts.interlaced ? 0x40 : 0;
  if (!parts.local_table.empty()) {
    flags |= 0x80 | (TableBits(parts.local_table.size()) - 1);
  }
  out += static_cast<char>(flags);
  PutTable(out, parts.local_table);
  out += static_cast<char>(parts.min_code_size);
  out += parts.image_blocks;
  if (parts.trailer) {
    out += '\x3B';
  }
  return out;
}

std::string ControlExtension(int transparent_index) {
  std::string out = "\x21\xF9\x04";
  out += static_cast<char>(transparent_index >= 0 ? 1 : 0);
  out += '\0';
  out += '\0';
  out += static_cast<char>(transparent_index >= 0 ? transparent_index : 0);
  out += '\0';
  return out;
}

}  // namespace qm::gif::testing
