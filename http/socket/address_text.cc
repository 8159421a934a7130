#include "http/socket/address_text.h"

#include <cstring>

namespace qm::http {

bool ParseDottedAddress(const std::string& text, uint32_t* address) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') {
    ++pos;
  }
  uint8_t bytes[4];
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') {
        return false;
      }
      ++pos;
    }
    size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 4) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    if (pos == start || value > 255 ||
        (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')) {
      return false;
    }
    bytes[part] = static_cast<uint8_t>(value);
  }
  while (pos < text.size() && text[pos] == ' ') {
    ++pos;
  }
  if (pos != text.size()) {
    return false;
  }
  std::memcpy(address, bytes, 4);
  return true;
}

std::string DottedAddress(uint32_t address) {
  uint8_t bytes[4];
  std::memcpy(bytes, &address, 4);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

uint16_t HostToNetwork16(uint16_t value) {
  uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  uint16_t result;
  std::memcpy(&result, bytes, 2);
  return result;
}

uint16_t NetworkToHost16(uint16_t value) {
  uint8_t bytes[2];
  std::memcpy(bytes, &value, 2);
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

}  // namespace qm::http
