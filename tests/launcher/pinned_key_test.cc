// The key built into a launcher: empty means unsigned mode; anything that is
// not a key must not fall back to unsigned mode.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "launcher/application.h"
#include "platform/ecdsa.h"

namespace qm {
namespace {

TEST(PinnedKeyTest, EmptyIsUnsignedAndAnythingMalformedVerifiesNothing) {
  const std::string key(128, 'a');
  platform::EcdsaP256PublicKey all_aa;
  all_aa.fill(0xaa);
  const platform::EcdsaP256PublicKey zero{};
  struct Case {
    std::string text;
    std::optional<platform::EcdsaP256PublicKey> expected;
  };
  const Case cases[] = {
      {"", std::nullopt},    {key, all_aa},     {std::string(128, 'A'), all_aa},
      {key.substr(1), zero}, {key + "a", zero}, {std::string(127, 'a') + "g", zero},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParsePinnedKey(c.text), c.expected);
  }
  // The stand-in for a broken key is no point of the curve.
  platform::EcdsaP256Signature signature{};
  signature.fill(1);
  EXPECT_FALSE(platform::VerifyEcdsaP256(zero, platform::Sha256Of("manifest"), signature));
}

}  // namespace
}  // namespace qm
