// Traditional PKWARE encryption: the keys and the decryption of member data
// and of encrypted headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qm::zip {

// Traditional PKWARE encryption (decryption side).
class ZipCrypto {
 public:
  // Keys from the initial words, then updated with every byte of the password.
  explicit ZipCrypto(const std::string& password);

  // The key state for header-encrypted records: each word is the AND of two
  // initial words (0 from the first and third, 1 from the second and first,
  // 2 from the third and second).
  static ZipCrypto ForHeaders();

  // In place; advances the keys.
  void Decrypt(uint8_t* data, size_t size);
  uint8_t DecryptByte(uint8_t c);

  uint32_t key(int i) const { return keys_[i]; }

 private:
  ZipCrypto(uint32_t k0, uint32_t k1, uint32_t k2);
  void Update(uint8_t plain);
  uint8_t StreamByte() const;

  uint32_t keys_[3];
};

}  // namespace qm::zip
