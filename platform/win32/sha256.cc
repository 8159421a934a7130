#include "platform/sha256.h"

#include <stdexcept>
#include <string>

#include "platform/win32/cng_handles.h"

namespace qm::platform {

struct Sha256::State {
  win32::Algorithm algorithm;
  std::string object;  // the hash object's memory, which CNG wants from us before Windows 7
  win32::HashHandle hash;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->algorithm = win32::OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
  DWORD object_size = 0;
  ULONG got = 0;
  if (!state_->algorithm ||
      !BCRYPT_SUCCESS(win32::Cng()->get_property(state_->algorithm.get(), BCRYPT_OBJECT_LENGTH,
                                                 reinterpret_cast<PUCHAR>(&object_size),
                                                 sizeof(object_size), &got, 0))) {
    throw std::runtime_error("Windows offers no SHA-256 (CNG)");
  }
  state_->object.assign(object_size, '\0');
  BCRYPT_HASH_HANDLE handle = nullptr;
  if (!BCRYPT_SUCCESS(win32::Cng()->create_hash(state_->algorithm.get(), &handle,
                                                reinterpret_cast<PUCHAR>(state_->object.data()),
                                                object_size, nullptr, 0, 0))) {
    throw std::runtime_error("Windows offers no SHA-256 (CNG)");
  }
  state_->hash.reset(handle);
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

void Sha256::Update(const void* data, size_t size) {
  const auto* bytes = static_cast<const UCHAR*>(data);
  while (size > 0) {
    // BCryptHashData takes a ULONG count.
    const ULONG chunk = static_cast<ULONG>(size < 0x40000000u ? size : 0x40000000u);
    if (!BCRYPT_SUCCESS(
            win32::Cng()->hash_data(state_->hash.get(), const_cast<PUCHAR>(bytes), chunk, 0))) {
      throw std::runtime_error("SHA-256 failed in CNG");
    }
    bytes += chunk;
    size -= chunk;
  }
}

Sha256Digest Sha256::Final() {
  Sha256Digest digest{};
  if (!BCRYPT_SUCCESS(win32::Cng()->finish_hash(state_->hash.get(), digest.data(),
                                                static_cast<ULONG>(digest.size()), 0))) {
    throw std::runtime_error("SHA-256 failed in CNG");
  }
  return digest;
}

}  // namespace qm::platform
