// SHA-256 and ECDSA P-256 verification against known answers, on both
// backends: libcrypto natively, CNG under Wine. The signatures were made by
// the openssl command-line tool (fixtures/make_ecdsa_fixture.sh); natively
// the tool also signs fresh data at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/background_sha256.h"
#include "platform/ecdsa.h"
#include "platform/sha256.h"
#include "util/hex.h"

#ifndef _WIN32
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/platform/test_support.h"
#endif

namespace qm::platform {
namespace {

TEST(Sha256Test, KnownAnswersInAnyChunking) {
  struct Case {
    const char* name;
    std::string input;
    const char* digest;
  };
  const std::vector<Case> cases = {
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    // Chunks that end inside, at and beyond a 64-byte block.
    for (size_t chunk :
         {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{997}, c.input.size()}) {
      if (chunk == 0 || (chunk == 1 && c.input.size() > 1000)) {
        continue;
      }
      SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
      Sha256 hash;
      for (size_t at = 0; at < c.input.size(); at += chunk) {
        hash.Update(c.input.data() + at, std::min(chunk, c.input.size() - at));
      }
      EXPECT_EQ(HexOf(hash.Final()), c.digest);
    }
    EXPECT_EQ(HexOf(Sha256Of(c.input)), c.digest) << c.name;
  }
}

const char kMessage[] = "[H]\r\nSerial=7\r\n";
const char kKeyA[] =
    "e50f3e08e112f16364a7fdf374368cc76cfbfdaaeb1b2dc97539d4259ffbe021"
    "900a941e829f115e1901a6a9c26c96bcad3c3598c9fd47ee0665cbb759f4ee94";
const char kSignatureA[] =
    "6630e8630518c753d00167cce4f212b0b6e7b9a1fc6830c425d08c3036489c7e"
    "2cab983186d93f1578109544167bdb988d4f55b33249bf26c2887d1c6297ded9";
const char kKeyB[] =
    "21f165f09091cd36424a97e7656030445d57e80cedde263c5c9ca6fbb39fb8fe"
    "febd1a55320ab5352bdb05229968556a53fad6d8a8c3e45aeb2402eb25ada447";
const char kSignatureB[] =
    "b286f17fdf30f838f8d9492bd209e7085f47e3012447996ddbcfae4d0b15fde0"
    "bd69a5a638eaa91277229511a6d37856c49e7488d35edc141060b2b24ad0b06f";

EcdsaP256PublicKey Key(const std::string& hex) {
  return ParseHexArray<64>(hex).value();
}
EcdsaP256Signature Signature(const std::string& hex) {
  return ParseHexArray<64>(hex).value();
}

// Flips one bit of the byte at index.
template <typename Bytes>
Bytes Flipped(Bytes bytes, size_t index) {
  bytes[index] ^= 0x01;
  return bytes;
}

struct VerifyCase {
  const char* name;
  EcdsaP256PublicKey key;
  std::string message;
  EcdsaP256Signature signature;
  bool valid;
};

void ExpectVerdicts(const std::vector<VerifyCase>& cases) {
  for (const VerifyCase& c : cases) {
    EXPECT_EQ(VerifyEcdsaP256(c.key, Sha256Of(c.message), c.signature), c.valid) << c.name;
  }
}

// The worker's ring of blocks: lengths around its block size and past the
// ring's whole size, fed in chunks that straddle the block edges, must give
// the digest of the one-thread hash.
TEST(BackgroundSha256Test, AgreesWithTheDirectHashAcrossBlockEdges) {
  constexpr size_t kBlock = size_t{256} << 10;
  std::string input(kBlock * 9 + 17, '\0');
  uint32_t x = 2463534242u;
  for (char& c : input) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  for (size_t length : {size_t{0}, size_t{1}, kBlock - 1, kBlock, kBlock + 1, kBlock * 4,
                        kBlock * 4 + 1, kBlock * 9, input.size()}) {
    const std::string data = input.substr(0, length);
    const std::string expected = HexOf(Sha256Of(data));
    for (size_t chunk : {size_t{4093}, kBlock, kBlock * 3 + 5}) {
      SCOPED_TRACE(std::to_string(length) + " bytes in chunks of " + std::to_string(chunk));
      BackgroundSha256 hash;
      for (size_t at = 0; at < data.size(); at += chunk) {
        hash.Update(data.data() + at, std::min(chunk, data.size() - at));
      }
      EXPECT_EQ(HexOf(hash.Final()), expected);
    }
  }
  EXPECT_EQ(HexOf([] {
              BackgroundSha256 hash;
              const std::string a(1000000, 'a');
              hash.Update(a.data(), a.size());
              return hash.Final();
            }()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// A download that fails midway drops its hash: the worker must stop with
// blocks still queued, not wait for more. A fault shows as a hang, which the
// test's time limit reports, or as a use after free under the sanitizers.
TEST(BackgroundSha256Test, StopsWhenDroppedWithBlocksQueued) {
  const std::string block(size_t{256} << 10, 'q');
  for (int blocks = 0; blocks < 7; ++blocks) {
    BackgroundSha256 hash;
    for (int k = 0; k < blocks; ++k) {
      hash.Update(block.data(), block.size());
    }
    hash.Update("tail", 4);
  }
}

TEST(EcdsaP256Test, AcceptsOpensslSignaturesAndRefusesEveryChange) {
  const std::string tampered = Flipped(std::string(kMessage), 12);  // "Serial=6"
  EcdsaP256PublicKey off_curve = Key(kKeyA);
  off_curve[63] ^= 0x01;
  ExpectVerdicts({
      {"signature by key A", Key(kKeyA), kMessage, Signature(kSignatureA), true},
      {"signature by key B", Key(kKeyB), kMessage, Signature(kSignatureB), true},
      {"message changed after signing", Key(kKeyA), tampered, Signature(kSignatureA), false},
      {"message with a byte more", Key(kKeyA), std::string(kMessage) + " ", Signature(kSignatureA),
       false},
      {"r changed", Key(kKeyA), kMessage, Flipped(Signature(kSignatureA), 5), false},
      {"s changed", Key(kKeyA), kMessage, Flipped(Signature(kSignatureA), 40), false},
      {"r and s swapped", Key(kKeyA), kMessage,
       Signature(std::string(kSignatureA + 64) + std::string(kSignatureA, 64)), false},
      {"another key's signature", Key(kKeyA), kMessage, Signature(kSignatureB), false},
      {"signature of zeros", Key(kKeyA), kMessage, EcdsaP256Signature{}, false},
      {"key that is no point of the curve", off_curve, kMessage, Signature(kSignatureA), false},
      {"key of zeros", EcdsaP256PublicKey{}, kMessage, Signature(kSignatureA), false},
  });
}

#ifndef _WIN32
// The signature that the openssl tool makes now, with a key it makes now.
class OpensslSigner {
 public:
  OpensslSigner() {
    Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out key.pem");
    Run("openssl pkey -in key.pem -pubout -outform DER -out pub.der");
    const std::string der = dir_.Read("pub.der");
    key_ =
        ParseHexArray<64>(HexOf(reinterpret_cast<const uint8_t*>(der.data()) + der.size() - 64, 64))
            .value();
  }
  const EcdsaP256PublicKey& key() const { return key_; }

  EcdsaP256Signature Sign(const std::string& message) {
    dir_.Write("message", message);
    Run("openssl dgst -sha256 -sign key.pem -out sig.der message");
    return RawSignature(dir_.Read("sig.der"));
  }

 private:
  void Run(const std::string& command) {
    const std::string line = "cd '" + dir_.linux_path() + "' && " + command + " 2>/dev/null";
    const int status = std::system(line.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  }

  // SEQUENCE { INTEGER r, INTEGER s } to r || s, each 32 bytes.
  static EcdsaP256Signature RawSignature(const std::string& der) {
    EcdsaP256Signature raw{};
    size_t at = 2;  // past SEQUENCE and its one-byte length (a P-256 signature is short)
    EXPECT_EQ(static_cast<uint8_t>(der[0]), 0x30);
    for (size_t part = 0; part < 2; ++part) {
      EXPECT_EQ(der[at], 0x02);
      size_t length = static_cast<uint8_t>(der[at + 1]);
      at += 2;
      while (length > 32) {  // a leading zero keeps the integer positive
        ++at;
        --length;
      }
      std::copy(der.begin() + at, der.begin() + at + length,
                raw.begin() + part * 32 + (32 - length));
      at += length;
    }
    return raw;
  }

  testing::SystemTempDir dir_;
  EcdsaP256PublicKey key_{};
};

TEST(EcdsaP256Test, VerifiesWhatTheOpensslToolSignsNow) {
  OpensslSigner signer;
  OpensslSigner other;
  std::mt19937 random(std::random_device{}());
  std::string message(5000, '\0');
  for (char& c : message) {
    c = static_cast<char>(random());
  }
  const EcdsaP256Signature signature = signer.Sign(message);
  ExpectVerdicts({
      {"fresh signature", signer.key(), message, signature, true},
      {"manifest byte changed", signer.key(), Flipped(message, 4321), signature, false},
      {"signature byte changed", signer.key(), message, Flipped(signature, 63), false},
      {"another key's signature", signer.key(), message, other.Sign(message), false},
  });
}
#endif

}  // namespace
}  // namespace qm::platform
