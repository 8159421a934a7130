// Owners of CNG handles, shared by the SHA-256 and the ECDSA backends.
#pragma once

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <memory>
#include <type_traits>

namespace qm::platform::win32 {

struct AlgorithmClose {
  void operator()(BCRYPT_ALG_HANDLE h) const { BCryptCloseAlgorithmProvider(h, 0); }
};
using Algorithm = std::unique_ptr<std::remove_pointer_t<BCRYPT_ALG_HANDLE>, AlgorithmClose>;

struct HashDestroy {
  void operator()(BCRYPT_HASH_HANDLE h) const { BCryptDestroyHash(h); }
};
using HashHandle = std::unique_ptr<std::remove_pointer_t<BCRYPT_HASH_HANDLE>, HashDestroy>;

struct KeyDestroy {
  void operator()(BCRYPT_KEY_HANDLE h) const { BCryptDestroyKey(h); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<BCRYPT_KEY_HANDLE>, KeyDestroy>;

// The provider of an algorithm such as BCRYPT_SHA256_ALGORITHM; null when
// the system has none (Windows before Vista).
inline Algorithm OpenAlgorithm(LPCWSTR name) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0))) {
    return nullptr;
  }
  return Algorithm(handle);
}

}  // namespace qm::platform::win32
