#include "platform/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace qm::platform {

struct Sha256::State {
  struct ContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
  };
  std::unique_ptr<EVP_MD_CTX, ContextFree> context{EVP_MD_CTX_new()};
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("libcrypto offers no SHA-256");
  }
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&& other) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept = default;

void Sha256::Update(const void* data, size_t size) {
  if (EVP_DigestUpdate(state_->context.get(), data, size) != 1) {
    throw std::runtime_error("SHA-256 failed in libcrypto");
  }
}

Sha256Digest Sha256::Final() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("SHA-256 failed in libcrypto");
  }
  return digest;
}

}  // namespace qm::platform
