#include <string>

#include "gtest/gtest.h"
#include "tests/zip/decode/test_support.h"
#include "zip/decode/crc32.h"

namespace qm::zip::test {
namespace {

// A 7-Zip Deflate64 archive of a file with repeats 38 KiB back and runs far
// longer than 258 bytes.
TEST(Deflate64Test, SevenZipStreamWithLongDistancesAndLengths) {
  const Bytes source = ReadFile(FixtureDir() + "/long-matches.bin");
  auto members = ReadZip(ReadFile(FixtureDir() + "/long-matches-deflate64.zip"));
  ASSERT_EQ(members.size(), 1u);
  ASSERT_EQ(members[0].method, 9);
  // Any read pattern, including one byte at a time.
  for (std::vector<size_t> pattern : {std::vector<size_t>{}, {1}, {0}, {3, 65536}}) {
    Bytes out;
    DecodeResult r = Decode(9, 0, 0, members[0].data, &out, pattern);
    ASSERT_EQ(r.status, DecodeStatus::kOk);
    EXPECT_EQ(r.consumed, members[0].data.size());
    ASSERT_TRUE(out == source);
  }
  // The same stream read as plain Deflate is invalid.
  Bytes out;
  DecodeResult r = Decode(8, 0, 0, members[0].data, &out);
  EXPECT_EQ(r.status, DecodeStatus::kDataError);
  EXPECT_LT(out.size(), source.size());
}

TEST(Deflate64Test, ArchivesFromOtherWriters) {
  const char* const archives[] = {
      "sharpcompress/Zip.deflate64.zip",
      "commons-compress/lorem-ipsum-deflate64.zip",
      "commons-compress/COMPRESS-380.zip",
  };
  int decoded = 0;
  for (const char* name : archives) {
    for (const LocalMember& m : ReadZip(ReadFile(FixtureDir() + "/" + name))) {
      if (m.method != 9) {
        continue;
      }
      SCOPED_TRACE(std::string(name) + " " + m.name);
      Bytes out;
      DecodeResult r = Decode(9, m.flags, m.size, m.data, &out, {4096});
      EXPECT_EQ(r.status, DecodeStatus::kOk);
      EXPECT_EQ(out.size(), m.size);
      EXPECT_EQ(Crc32Update(0, out.data(), out.size()), m.crc);
      ++decoded;
    }
  }
  EXPECT_GE(decoded, 5);
  Bytes input = ReadFile(FixtureDir() + "/commons-compress/COMPRESS-380-input");
  Bytes out;
  Decode(9, 0, 0, ReadZip(ReadFile(FixtureDir() + "/commons-compress/COMPRESS-380.zip"))[0].data,
         &out);
  EXPECT_TRUE(out == input);
}

// Damaged Deflate64 data: truncations and flips end with an error, never a crash.
TEST(Deflate64Test, DamagedStreamsFailCleanly) {
  auto members = ReadZip(ReadFile(FixtureDir() + "/long-matches-deflate64.zip"));
  const Bytes& good = members[0].data;
  const Bytes source = ReadFile(FixtureDir() + "/long-matches.bin");
  for (size_t cut : {0, 1, 2, 100, 30000, 54000}) {
    Bytes out;
    DecodeResult r = Decode(9, 0, 0, Bytes(good.begin(), good.begin() + cut), &out);
    EXPECT_EQ(r.status, DecodeStatus::kInputEnded) << cut;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), source.begin())) << cut;
  }
  // The stream of a damaged archive, from its local header on.
  Bytes bad = ReadFile(FixtureDir() + "/zip2/raw_deflate64_index_out_of_bounds.zip");
  size_t start = 30 + (bad[26] | bad[27] << 8) + (bad[28] | bad[29] << 8);
  Bytes out;
  DecodeResult r = Decode(9, 0, 0, Bytes(bad.begin() + start, bad.end()), &out);
  EXPECT_NE(r.status, DecodeStatus::kOk);
}

}  // namespace
}  // namespace qm::zip::test
