// SHA-256 from the system's cryptography (libcrypto on POSIX, CNG on
// Windows). Streaming, so an archive is hashed while it is read or received.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qm::platform {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
 public:
  // Raises std::runtime_error when the system offers no SHA-256.
  Sha256();
  ~Sha256();
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&& other) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  void Update(const std::string& bytes) { Update(bytes.data(), bytes.size()); }
  // The digest of everything given so far; the object is spent afterwards.
  Sha256Digest Final();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

inline Sha256Digest Sha256Of(const std::string& bytes) {
  Sha256 hash;
  hash.Update(bytes);
  return hash.Final();
}

}  // namespace qm::platform
