#include "platform/ecdsa.h"

#include <cstring>

#include "platform/win32/cng_handles.h"

namespace qm::platform {

bool VerifyEcdsaP256(const EcdsaP256PublicKey& key,
                     const Sha256Digest& digest,
                     const EcdsaP256Signature& signature) {
  const win32::Algorithm algorithm = win32::OpenAlgorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  if (!algorithm) {
    return false;
  }
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  BCRYPT_ECCKEY_BLOB header{};
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = 32;
  std::memcpy(blob, &header, sizeof(header));
  std::memcpy(blob + sizeof(header), key.data(), key.size());
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!BCRYPT_SUCCESS(win32::Cng()->import_key_pair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                                    &handle, blob, sizeof(blob), 0))) {
    return false;
  }
  const win32::KeyHandle imported(handle);
  // CNG takes non-const buffers that it only reads.
  Sha256Digest hash = digest;
  EcdsaP256Signature raw = signature;
  return BCRYPT_SUCCESS(win32::Cng()->verify_signature(imported.get(), nullptr, hash.data(),
                                                       static_cast<ULONG>(hash.size()), raw.data(),
                                                       static_cast<ULONG>(raw.size()), 0));
}

}  // namespace qm::platform
