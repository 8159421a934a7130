// Owners of CNG handles, shared by the SHA-256 and the ECDSA backends. A
// handle exists only once Cng() has loaded the functions that close it.
#pragma once

#include <memory>
#include <type_traits>

#include "platform/win32/cng_functions.h"

namespace qm::platform::win32 {

struct AlgorithmClose {
  void operator()(BCRYPT_ALG_HANDLE h) const { Cng()->close_algorithm(h, 0); }
};
using Algorithm = std::unique_ptr<std::remove_pointer_t<BCRYPT_ALG_HANDLE>, AlgorithmClose>;

struct HashDestroy {
  void operator()(BCRYPT_HASH_HANDLE h) const { Cng()->destroy_hash(h); }
};
using HashHandle = std::unique_ptr<std::remove_pointer_t<BCRYPT_HASH_HANDLE>, HashDestroy>;

struct KeyDestroy {
  void operator()(BCRYPT_KEY_HANDLE h) const { Cng()->destroy_key(h); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<BCRYPT_KEY_HANDLE>, KeyDestroy>;

// The provider of an algorithm such as BCRYPT_SHA256_ALGORITHM; null when
// the system has none (no CNG before Vista).
inline Algorithm OpenAlgorithm(LPCWSTR name) {
  const CngFunctions* cng = Cng();
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (!cng || !BCRYPT_SUCCESS(cng->open_algorithm(&handle, name, nullptr, 0))) {
    return nullptr;
  }
  return Algorithm(handle);
}

}  // namespace qm::platform::win32
