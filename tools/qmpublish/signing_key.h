// The publisher's ECDSA P-256 signing key: made by keygen, kept as a PEM
// (PKCS#8) file readable by its owner only, used by publish --key.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/ecdsa.h"

namespace qm::publish {

class SigningKey {
 public:
  // Raises PublishError when the file cannot be read or holds no P-256
  // private key.
  static SigningKey Load(const std::filesystem::path& file);
  // Writes a new key to file (mode 0600) and returns it; raises PublishError
  // when file exists: a key is never overwritten.
  static SigningKey Generate(const std::filesystem::path& file);

  ~SigningKey();
  SigningKey(SigningKey&&) noexcept;
  SigningKey& operator=(SigningKey&&) noexcept;

  const platform::EcdsaP256PublicKey& PublicKey() const { return public_key_; }
  // r || s over SHA-256 of message; checked against the public key before
  // it is returned.
  platform::EcdsaP256Signature Sign(const std::string& message) const;
  // True when the file can be read by others than its owner.
  static bool ReadableByOthers(const std::filesystem::path& file);

 private:
  struct Pkey;
  explicit SigningKey(std::unique_ptr<Pkey> key);
  std::unique_ptr<Pkey> key_;
  platform::EcdsaP256PublicKey public_key_{};
};

}  // namespace qm::publish
