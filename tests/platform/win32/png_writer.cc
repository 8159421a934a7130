#include "tests/platform/win32/png_writer.h"

#include <fstream>

namespace qm::test {
namespace {

uint32_t Crc32(const std::string& data, size_t begin) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = begin; i < data.size(); ++i) {
    crc ^= static_cast<uint8_t>(data[i]);
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void PutBigEndian(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out += static_cast<char>((value >> shift) & 0xFF);
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBigEndian(out, static_cast<uint32_t>(data.size()));
  std::string body = type;
  body += data;
  out += body;
  PutBigEndian(out, Crc32(body, 0));
}

}  // namespace

std::string EncodePng(int width, int height, const std::vector<uint32_t>& pixels) {
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw += '\0';  // filter: none
    for (int x = 0; x < width; ++x) {
      uint32_t p = pixels[static_cast<size_t>(y) * width + x];
      raw += static_cast<char>((p >> 16) & 0xFF);
      raw += static_cast<char>((p >> 8) & 0xFF);
      raw += static_cast<char>(p & 0xFF);
    }
  }
  std::string zlib = "\x78\x01";
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(65535, raw.size() - pos);
    bool last = pos + n == raw.size();
    zlib += static_cast<char>(last ? 1 : 0);
    zlib += static_cast<char>(n & 0xFF);
    zlib += static_cast<char>(n >> 8);
    zlib += static_cast<char>(~n & 0xFF);
    zlib += static_cast<char>((~n >> 8) & 0xFF);
    zlib.append(raw, pos, n);
    pos += n;
  } while (pos < raw.size());
  PutBigEndian(zlib, (b << 16) | a);

  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  PutBigEndian(header, width);
  PutBigEndian(header, height);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", zlib);
  PutChunk(png, "IEND", "");
  return png;
}

bool WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels) {
  std::ofstream out(path, std::ios::binary);
  std::string png = EncodePng(width, height, pixels);
  out.write(png.data(), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(out);
}

}  // namespace qm::test
