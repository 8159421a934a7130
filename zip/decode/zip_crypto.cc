#include "zip/decode/zip_crypto.h"

#include "zip/decode/crc32.h"

namespace qm::zip {
namespace {

constexpr uint32_t kInit0 = 0x12345678;
constexpr uint32_t kInit1 = 0x23456789;
constexpr uint32_t kInit2 = 0x34567890;

}  // namespace

ZipCrypto::ZipCrypto(uint32_t k0, uint32_t k1, uint32_t k2) : keys_{k0, k1, k2} {}

ZipCrypto::ZipCrypto(const std::string& password) : keys_{kInit0, kInit1, kInit2} {
  for (char c : password) {
    Update(static_cast<uint8_t>(c));
  }
}

ZipCrypto ZipCrypto::ForHeaders() {
  return ZipCrypto(kInit0 & kInit2, kInit1 & kInit0, kInit2 & kInit1);
}

void ZipCrypto::Update(uint8_t plain) {
  keys_[0] = Crc32Step(keys_[0], plain);
  keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
  keys_[2] = Crc32Step(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
}

uint8_t ZipCrypto::StreamByte() const {
  uint32_t t = (keys_[2] & 0xFFFF) | 2;
  return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

uint8_t ZipCrypto::DecryptByte(uint8_t c) {
  uint8_t plain = c ^ StreamByte();
  Update(plain);
  return plain;
}

void ZipCrypto::Decrypt(uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    data[i] = DecryptByte(data[i]);
  }
}

}  // namespace qm::zip
