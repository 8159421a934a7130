#include "tools/qmpublish/signing_key.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/qmpublish/file_bytes.h"
#include "tools/qmpublish/publish_error.h"

namespace qm::publish {
namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Number = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

}  // namespace

struct SigningKey::Pkey {
  std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>> pkey;
};

SigningKey::SigningKey(std::unique_ptr<Pkey> key) : key_(std::move(key)) {
  char group[32] = {};
  size_t group_length = 0;
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  const bool ok = EVP_PKEY_get_utf8_string_param(key_->pkey.get(), OSSL_PKEY_PARAM_GROUP_NAME,
                                                 group, sizeof(group), &group_length) == 1 &&
                  std::strcmp(group, "prime256v1") == 0 &&
                  EVP_PKEY_get_bn_param(key_->pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x) == 1 &&
                  EVP_PKEY_get_bn_param(key_->pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y) == 1;
  const Number owned_x(x);
  const Number owned_y(y);
  if (!ok || BN_bn2binpad(x, public_key_.data(), 32) != 32 ||
      BN_bn2binpad(y, public_key_.data() + 32, 32) != 32) {
    throw PublishError("the key is not an ECDSA P-256 key; make one with qmpublish keygen");
  }
}

SigningKey::~SigningKey() = default;
SigningKey::SigningKey(SigningKey&&) noexcept = default;
SigningKey& SigningKey::operator=(SigningKey&&) noexcept = default;

SigningKey SigningKey::Load(const std::filesystem::path& file) {
  const std::string pem = ReadWholeFile(file);
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  auto key = std::make_unique<Pkey>();
  if (bio) {
    key->pkey.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  }
  if (!key->pkey || EVP_PKEY_get_base_id(key->pkey.get()) != EVP_PKEY_EC) {
    throw PublishError(file.string() +
                       " holds no ECDSA P-256 private key in PEM form; make one with "
                       "qmpublish keygen");
  }
  return SigningKey(std::move(key));
}

SigningKey SigningKey::Generate(const std::filesystem::path& file) {
  auto key = std::make_unique<Pkey>();
  key->pkey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key->pkey) {
    throw PublishError("libcrypto made no P-256 key");
  }
  Bio memory(BIO_new(BIO_s_mem()));
  if (!memory || PEM_write_bio_PrivateKey(memory.get(), key->pkey.get(), nullptr, nullptr, 0,
                                          nullptr, nullptr) != 1) {
    throw PublishError("libcrypto cannot write the key");
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory.get(), &data);
  const std::string pem(data, static_cast<size_t>(size));
  SigningKey made(std::move(key));

  // O_EXCL: an existing key, perhaps the one the launchers pin, stays.
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    throw PublishError(errno == EEXIST
                           ? file.string() +
                                 " exists; keygen never overwrites a key: "
                                 "give another file name"
                           : "cannot create " + file.string() + ": " + std::strerror(errno));
  }
  // The mode does not depend on the umask.
  bool ok = fchmod(fd, 0600) == 0;
  size_t done = 0;
  while (ok && done < pem.size()) {
    const ssize_t n = write(fd, pem.data() + done, pem.size() - done);
    ok = n > 0;
    done += ok ? static_cast<size_t>(n) : 0;
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(file.c_str());
    throw PublishError("cannot write " + file.string() + ": is the disk full?");
  }
  return made;
}

bool SigningKey::ReadableByOthers(const std::filesystem::path& file) {
  struct stat info {};
  return stat(file.c_str(), &info) == 0 && (info.st_mode & 077) != 0;
}

platform::EcdsaP256Signature SigningKey::Sign(const std::string& message) const {
  MdContext context(EVP_MD_CTX_new());
  size_t size = 0;
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key_->pkey.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &size, nullptr, 0) != 1) {
    throw PublishError("libcrypto cannot sign");
  }
  std::string der(size, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    throw PublishError("libcrypto cannot sign");
  }
  // DER to the raw r || s that CNG verifies.
  const auto* in = reinterpret_cast<const unsigned char*>(der.data());
  const Signature parsed(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(size)));
  platform::EcdsaP256Signature raw{};
  if (!parsed || BN_bn2binpad(ECDSA_SIG_get0_r(parsed.get()), raw.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(parsed.get()), raw.data() + 32, 32) != 32) {
    throw PublishError("libcrypto made a signature of an unexpected form");
  }
  if (!platform::VerifyEcdsaP256(public_key_, platform::Sha256Of(message), raw)) {
    throw PublishError("the signature just made does not verify; nothing is signed");
  }
  return raw;
}

}  // namespace qm::publish
