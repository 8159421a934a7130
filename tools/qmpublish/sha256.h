// SHA-256, for the content records that tell whether an item changed since
// the last publication.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qm::publish {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  void Update(const std::string& text) { Update(text.data(), text.size()); }
  // Lower-case hex of the digest; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

}  // namespace qm::publish
