#include <string>

#include "gtest/gtest.h"
#include "tests/zip/decode/test_support.h"
#include "zip/decode/crc32.h"
#include "zip/decode/zip_crypto.h"

namespace qm::zip::test {
namespace {

TEST(Crc32Test, KnownValuesAndChaining) {
  const std::string check = "123456789";
  const auto* p = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(Crc32Update(0, p, check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(0, p, 0), 0u);
  // Any split gives the same value (the 8-byte loop and the byte tail agree).
  Bytes data = RandomData(1000, 3);
  uint32_t whole = Crc32Update(0, data.data(), data.size());
  for (size_t cut : {1, 7, 8, 9, 500, 999}) {
    uint32_t c = Crc32Update(0, data.data(), cut);
    EXPECT_EQ(Crc32Update(c, data.data() + cut, data.size() - cut), whole) << cut;
  }
}

struct CryptoCase {
  const char* archive;
  const char* password;
};

// Decrypts each member: the 12-byte header's last byte must match (CRC high byte,
// or the time's high byte with a data descriptor), and the decoded data must
// match the member's CRC-32. A wrong password must fail the check byte for most
// members.
TEST(ZipCryptoTest, DecryptsRealArchives) {
  const CryptoCase cases[] = {
      {"secret.zip", "secret"},                                            // zip -P, bit 3
      {"secret-stream.zip", "secret"},                                     // zip -P from a pipe
      {"sharpcompress/zipcrypto.zip", "test"},                             // stored, CRC check byte
      {"libarchive/test_read_format_zip_traditional_encryption_data.zip",  // deflated, bit 3
       "12345678"},
  };
  for (const CryptoCase& c : cases) {
    SCOPED_TRACE(c.archive);
    auto members = ReadZip(ReadFile(FixtureDir() + "/" + c.archive));
    ASSERT_FALSE(members.empty());
    int wrong_fits = 0;
    for (const LocalMember& m : members) {
      SCOPED_TRACE(m.name);
      ASSERT_TRUE(m.flags & 1);
      ASSERT_GE(m.data.size(), 12u);
      uint8_t expected = (m.flags & 8) ? m.time >> 8 : m.crc >> 24;

      Bytes data = m.data;
      ZipCrypto keys(c.password);
      keys.Decrypt(data.data(), 12);
      EXPECT_EQ(data[11], expected);
      // Byte by byte and in one go give the same plain text.
      Bytes plain(data.begin() + 12, data.end());
      Bytes copy = plain;
      ZipCrypto twin = keys;
      keys.Decrypt(plain.data(), plain.size());
      for (auto& b : copy) {
        b = twin.DecryptByte(b);
      }
      EXPECT_TRUE(plain == copy);

      Bytes out;
      if (m.method == 0) {
        out = plain;
      } else {
        DecodeResult r = Decode(m.method, m.flags, m.size, plain, &out);
        EXPECT_EQ(r.status, DecodeStatus::kOk);
      }
      EXPECT_EQ(out.size(), m.size);
      EXPECT_EQ(Crc32Update(0, out.data(), out.size()), m.crc);

      Bytes header(m.data.begin(), m.data.begin() + 12);
      ZipCrypto wrong(std::string(c.password) + "x");
      wrong.Decrypt(header.data(), 12);
      wrong_fits += header[11] == expected;
    }
    EXPECT_LT(wrong_fits, static_cast<int>(members.size()) / 2 + 1);
  }
  // The content made by zip -P is the file it was given.
  auto members = ReadZip(ReadFile(FixtureDir() + "/secret.zip"));
  Bytes text = ReadFile(FixtureDir() + "/secret.txt");
  Bytes data = members[0].data;
  ZipCrypto keys("secret");
  keys.Decrypt(data.data(), data.size());
  Bytes out;
  Decode(8, 0, 0, Bytes(data.begin() + 12, data.end()), &out);
  EXPECT_TRUE(out == text);
}

}  // namespace
}  // namespace qm::zip::test
