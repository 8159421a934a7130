#include "platform/ecdsa.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <string>

namespace qm::platform {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using Key = Owned<EVP_PKEY, EVP_PKEY_free>;
using KeyContext = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Params = Owned<OSSL_PARAM, OSSL_PARAM_free>;
using ParamBuilder = Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Signature = Owned<ECDSA_SIG, ECDSA_SIG_free>;
using Number = Owned<BIGNUM, BN_free>;

// The public key as libcrypto holds it; null when the point is not one of
// the curve (fromdata checks it).
Key ImportKey(const EcdsaP256PublicKey& raw) {
  std::string point(1, '\x04');  // uncompressed
  point.append(reinterpret_cast<const char*>(raw.data()), raw.size());
  ParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) !=
          1 ||
      OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                       point.size()) != 1) {
    return nullptr;
  }
  Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  Key owned(key);
  KeyContext check(EVP_PKEY_CTX_new_from_pkey(nullptr, owned.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) {
    return nullptr;
  }
  return owned;
}

// r || s as the DER structure that libcrypto verifies.
std::string DerSignature(const EcdsaP256Signature& raw) {
  Number r(BN_bin2bn(raw.data(), 32, nullptr));
  Number s(BN_bin2bn(raw.data() + 32, 32, nullptr));
  Signature signature(ECDSA_SIG_new());
  if (!r || !s || !signature || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
    return "";
  }
  // Owned by the signature now.
  static_cast<void>(r.release());
  static_cast<void>(s.release());
  const int size = i2d_ECDSA_SIG(signature.get(), nullptr);
  if (size <= 0) {
    return "";
  }
  std::string der(static_cast<size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  return i2d_ECDSA_SIG(signature.get(), &out) == size ? der : "";
}

}  // namespace

bool VerifyEcdsaP256(const EcdsaP256PublicKey& key,
                     const Sha256Digest& digest,
                     const EcdsaP256Signature& signature) {
  const Key imported = ImportKey(key);
  const std::string der = DerSignature(signature);
  if (!imported || der.empty()) {
    return false;
  }
  KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, imported.get(), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return false;
  }
  return EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(der.data()),
                         der.size(), digest.data(), digest.size()) == 1;
}

}  // namespace qm::platform
