#include <zlib.h>

#include <random>
#include <stdexcept>
#include <string>

#include "gtest/gtest.h"
#include "tests/zip/decode/test_support.h"
#include "zip/decode/crc32.h"
#include "zip/decode/inflater.h"

namespace qm::zip::test {
namespace {

// Raw deflate (no zlib header) by zlib.
Bytes ZlibDeflate(const Bytes& in, int level, int strategy) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 9, strategy) != Z_OK) {
    throw std::runtime_error("deflateInit2");
  }
  Bytes out(deflateBound(&z, in.size()) + 64);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) {
    throw std::runtime_error("deflate");
  }
  return out;
}

struct Sample {
  const char* name;
  Bytes data;
};

std::vector<Sample> Samples() {
  return {{"text", TextData(300000, 1)},
          {"binary", BinaryData(300000, 2)},
          {"runs", RunData(300000, 3)},
          {"random", RandomData(100000, 4)},
          {"empty", {}},
          {"one", {'x'}}};
}

// Runs the inflater over in with the given read and write sizes (0 = random).
InflateStatus InflateSplit(bool d64,
                           const Bytes& in,
                           size_t in_step,
                           size_t out_step,
                           Bytes* out,
                           size_t* consumed) {
  Inflater inflater(d64);
  std::mt19937 rng(11);
  auto step = [&](size_t s) { return s ? s : std::uniform_int_distribution<size_t>(1, 5000)(rng); };
  size_t pos = 0;
  size_t avail = 0;  // bytes offered beyond pos
  Bytes buffer;
  out->clear();
  for (int stalls = 0; stalls < 4;) {
    avail = std::min(in.size() - pos, std::max(avail, step(in_step)));
    buffer.resize(step(out_step));
    size_t used = 0, made = 0;
    InflateStatus st =
        inflater.Inflate(in.data() + pos, avail, buffer.data(), buffer.size(), &used, &made);
    pos += used;
    avail -= used;
    out->insert(out->end(), buffer.begin(), buffer.begin() + made);
    if (st != InflateStatus::kNeedMore) {
      *consumed = pos;
      return st;
    }
    if (used == 0 && made == 0) {
      if (pos + avail == in.size()) {
        ++stalls;
      }
      avail += 1;  // offer more input
    }
  }
  *consumed = pos;
  return InflateStatus::kNeedMore;
}

TEST(InflateTest, MatchesZlibForEveryLevelAndStrategy) {
  struct Mode {
    int level;
    int strategy;
  };
  std::vector<Mode> modes;
  for (int level = 0; level <= 9; ++level) {
    modes.push_back({level, Z_DEFAULT_STRATEGY});
  }
  for (int strategy : {Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
    for (int level : {1, 6, 9}) {
      modes.push_back({level, strategy});
    }
  }
  for (const Sample& s : Samples()) {
    for (const Mode& m : modes) {
      SCOPED_TRACE(std::string(s.name) + " level " + std::to_string(m.level) + " strategy " +
                   std::to_string(m.strategy));
      Bytes packed = ZlibDeflate(s.data, m.level, m.strategy);
      Bytes trailing = packed;
      trailing.insert(trailing.end(), {0xde, 0xad, 0xbe, 0xef});
      Bytes out;
      DecodeResult r = Decode(8, 0, 0, trailing, &out);
      ASSERT_EQ(r.status, DecodeStatus::kOk);
      EXPECT_EQ(r.consumed, packed.size());  // stops right after the final block
      EXPECT_EQ(r.produced, s.data.size());
      ASSERT_TRUE(out == s.data);
    }
  }
}

TEST(InflateTest, AnySplitOfInputAndOutputGivesTheSameBytes) {
  Bytes data = TextData(120000, 5);
  Bytes bin = BinaryData(80000, 6);
  data.insert(data.end(), bin.begin(), bin.end());
  struct Split {
    size_t in_step, out_step;
  };
  const Split splits[] = {{1, 65536}, {65536, 1}, {1, 1}, {0, 0}, {3, 7}, {0, 32768}, {16, 0}};
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
    for (int level : {0, 6}) {
      Bytes packed = ZlibDeflate(data, level, strategy);
      for (const Split& sp : splits) {
        SCOPED_TRACE("level " + std::to_string(level) + " in " + std::to_string(sp.in_step) +
                     " out " + std::to_string(sp.out_step));
        Bytes out;
        size_t consumed = 0;
        ASSERT_EQ(InflateSplit(false, packed, sp.in_step, sp.out_step, &out, &consumed),
                  InflateStatus::kStreamEnd);
        EXPECT_EQ(consumed, packed.size());
        ASSERT_TRUE(out == data);
      }
    }
  }
  // And through the member decoder with uneven reads; the sink never gets big blocks.
  Bytes packed = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY);
  for (const std::vector<size_t>& pattern : {std::vector<size_t>{1}, {0}, {5, 70000, 1, 2}}) {
    MemorySource source(packed, pattern);
    VectorSink sink;
    DecodeResult r = DecodeMember(8, 0, 0, source, sink);
    ASSERT_EQ(r.status, DecodeStatus::kOk);
    EXPECT_TRUE(sink.data == data);
    EXPECT_LE(sink.largest_block, kOutputBlockSize);
  }
}

// An output buffer of exactly the data's size sees the end of the stream in the
// same call, for every kind of final block (stored, fixed, dynamic).
TEST(InflateTest, ExactOutputRoomReportsStreamEnd) {
  const Bytes data = TextData(70000, 31);
  for (int level : {0, 1, 9}) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
      const Bytes packed = ZlibDeflate(data, level, strategy);
      for (bool d64 : {false, true}) {
        if (d64 && level != 0) {
          continue;  // only stored blocks are the same in both formats
        }
        Inflater inflater(d64);
        Bytes out(data.size());
        size_t used = 0, made = 0;
        EXPECT_EQ(
            inflater.Inflate(packed.data(), packed.size(), out.data(), out.size(), &used, &made),
            InflateStatus::kStreamEnd)
            << level;
        EXPECT_EQ(used, packed.size());
        EXPECT_EQ(made, data.size());
        EXPECT_TRUE(out == data);
      }
    }
  }
}

// zlib's own verdict on a (possibly damaged) raw stream: output and how it ended.
DecodeStatus ZlibInflate(const Bytes& in, Bytes* out) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  out->clear();
  uint8_t buf[16384];
  int rc;
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out->insert(out->end(), buf, buf + (sizeof buf - z.avail_out));
  } while (rc == Z_OK);
  inflateEnd(&z);
  if (rc == Z_STREAM_END) {
    return DecodeStatus::kOk;
  }
  if (rc == Z_BUF_ERROR) {
    return DecodeStatus::kInputEnded;
  }
  return DecodeStatus::kDataError;
}

TEST(InflateTest, DamagedStreamsEndLikeZlib) {
  std::mt19937 rng(99);
  Bytes data = TextData(20000, 8);
  Bytes bin = BinaryData(20000, 9);
  data.insert(data.end(), bin.begin(), bin.end());
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
    const Bytes packed = ZlibDeflate(data, 6, strategy);
    for (int round = 0; round < 150; ++round) {
      Bytes bad = packed;
      int flips = 1 + round % 4;
      for (int f = 0; f < flips; ++f) {
        size_t at = rng() % std::min<size_t>(bad.size(), round % 2 ? 64 : bad.size());
        bad[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      if (round % 3 == 0) {
        bad.resize(rng() % bad.size());
      }
      SCOPED_TRACE("strategy " + std::to_string(strategy) + " round " + std::to_string(round));
      Bytes ours, theirs;
      DecodeResult r = Decode(8, 0, 0, bad, &ours);
      DecodeStatus expected = ZlibInflate(bad, &theirs);
      ASSERT_EQ(r.status, expected) << DecodeStatusName(r.status);
      ASSERT_TRUE(ours == theirs) << ours.size() << " vs " << theirs.size();
    }
  }
}

TEST(InflateTest, TruncatedStreamReportsInputEnded) {
  const Bytes data = TextData(5000, 12);
  const Bytes packed = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY);
  for (size_t cut = 0; cut < packed.size(); ++cut) {
    Bytes part(packed.begin(), packed.begin() + cut);
    Bytes out;
    DecodeResult r = Decode(8, 0, 0, part, &out, {1});
    ASSERT_EQ(r.status, DecodeStatus::kInputEnded) << "cut at " << cut;
    ASSERT_LE(out.size(), data.size());
    ASSERT_TRUE(std::equal(out.begin(), out.end(), data.begin()));
  }
}

// Fixed-code literal/length symbol.
void PutFixed(BitWriter& w, unsigned sym) {
  if (sym < 144) {
    w.PutCode(0x30 + sym, 8);
  } else if (sym < 256) {
    w.PutCode(0x190 + sym - 144, 9);
  } else if (sym < 280) {
    w.PutCode(sym - 256, 7);
  } else {
    w.PutCode(0xC0 + sym - 280, 8);
  }
}

TEST(InflateTest, MalformedBlocksAreDataErrors) {
  struct Case {
    const char* name;
    uint16_t method;
    Bytes stream;
    DecodeStatus expected;
  };
  std::vector<Case> cases;
  {
    BitWriter w;  // block type 3
    w.Put(1, 1);
    w.Put(3, 2);
    w.Put(0, 13);
    cases.push_back({"reserved block type", 8, w.bytes(), DecodeStatus::kDataError});
  }
  cases.push_back({"stored length check",
                   8,
                   {0x01, 0x05, 0x00, 0xFA, 0xF0, 'a', 'b', 'c', 'd', 'e'},
                   DecodeStatus::kDataError});
  cases.push_back({"stored block",
                   8,
                   {0x01, 0x05, 0x00, 0xFA, 0xFF, 'a', 'b', 'c', 'd', 'e'},
                   DecodeStatus::kOk});
  {
    BitWriter w;  // literal, then a match two bytes back with one byte produced
    w.Put(1, 1);
    w.Put(1, 2);
    PutFixed(w, 'a');
    PutFixed(w, 257);  // length 3
    w.PutCode(1, 5);   // distance 2
    PutFixed(w, 256);
    cases.push_back({"distance beyond the output", 8, w.bytes(), DecodeStatus::kDataError});
  }
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    PutFixed(w, 'a');
    PutFixed(w, 257);
    w.PutCode(0, 5);  // distance 1
    PutFixed(w, 256);
    cases.push_back({"distance within the output", 8, w.bytes(), DecodeStatus::kOk});
  }
  for (uint16_t method : {8, 9}) {
    BitWriter w;  // fixed block using distance code 30
    w.Put(1, 1);
    w.Put(1, 2);
    PutFixed(w, 'a');
    PutFixed(w, 257);
    w.PutCode(30, 5);
    w.Put(0, 14);
    PutFixed(w, 256);
    // Deflate64 accepts the code but the distance is beyond the output.
    cases.push_back({"distance code 30", method, w.bytes(), DecodeStatus::kDataError});
  }
  {
    BitWriter w;  // fixed literal/length symbol 286
    w.Put(1, 1);
    w.Put(1, 2);
    PutFixed(w, 286);
    cases.push_back({"literal/length symbol 286", 9, w.bytes(), DecodeStatus::kDataError});
  }
  auto flat = [](size_t n, uint8_t len) { return std::vector<uint8_t>(n, len); };
  {
    // 257 lit/len codes: 2 of length 1 plus the rest is over-subscribed.
    std::vector<uint8_t> ll = flat(257, 9);
    ll[0] = ll[1] = 1;
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1, 1});
    cases.push_back({"over-subscribed code", 8, w.bytes(), DecodeStatus::kDataError});
  }
  {
    std::vector<uint8_t> ll = flat(257, 0);
    ll[65] = 2;
    ll[256] = 1;  // 'A' and end of block; one 2-bit slot left over
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1});
    cases.push_back({"incomplete literal/length code", 8, w.bytes(), DecodeStatus::kDataError});
  }
  {
    std::vector<uint8_t> ll = flat(258, 0);
    ll[65] = 2;
    ll[256] = 2;
    ll[257] = 1;  // 'A', end of block, length 3
    BitWriter w;
    PutDynamicHeader(w, true, ll, {0, 1});  // a lone one-bit distance code is allowed
    w.PutCode(2, 2);                        // 'A'
    w.PutCode(0, 1);                        // length 3
    w.PutCode(0, 1);                        // distance code 1: distance 2 -> beyond the output
    cases.push_back({"lone distance code, too far", 8, w.bytes(), DecodeStatus::kDataError});
    BitWriter ok;
    PutDynamicHeader(ok, true, ll, {1});  // distance code 0: distance 1
    ok.PutCode(2, 2);
    ok.PutCode(0, 1);
    ok.PutCode(0, 1);
    ok.PutCode(3, 2);
    cases.push_back({"lone distance code", 8, ok.bytes(), DecodeStatus::kOk});
  }
  {
    std::vector<uint8_t> ll = flat(257, 8);
    ll[256] = 0;  // no end-of-block code
    ll[0] = 0;
    ll[1] = 0;
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1, 1});
    cases.push_back({"no end-of-block code", 8, w.bytes(), DecodeStatus::kDataError});
  }
  for (uint16_t method : {8, 9}) {
    // 288 literal/length codes declared: valid only for Deflate64.
    std::vector<uint8_t> ll = flat(288, 0);
    ll[65] = 1;
    ll[256] = 1;
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1});
    w.PutCode(0, 1);
    w.PutCode(1, 1);
    cases.push_back({"288 literal/length codes", method, w.bytes(),
                     method == 9 ? DecodeStatus::kOk : DecodeStatus::kDataError});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " method " + std::to_string(c.method));
    Bytes out;
    for (const std::vector<size_t>& pattern : {std::vector<size_t>{}, {1}}) {
      DecodeResult r = Decode(c.method, 0, 0, c.stream, &out, pattern);
      EXPECT_EQ(r.status, c.expected) << DecodeStatusName(r.status);
    }
    if (c.method == 8) {  // zlib agrees
      Bytes theirs;
      EXPECT_EQ(ZlibInflate(c.stream, &theirs), c.expected);
    }
  }
}

// zlib's message for a stream it refuses as damaged; empty if it does not.
std::string ZlibReason(const Bytes& in) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  uint8_t buf[16384];
  int rc;
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
  } while (rc == Z_OK);
  std::string reason = rc == Z_DATA_ERROR && z.msg ? z.msg : "";
  inflateEnd(&z);
  return reason;
}

// A dynamic block header whose code length code has the given lengths (19,
// by symbol); returns its codewords.
std::vector<uint32_t> PutPrecode(BitWriter& w,
                                 unsigned nlit,
                                 unsigned ndist,
                                 const std::vector<uint8_t>& precode) {
  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  w.Put(1, 1);
  w.Put(2, 2);
  w.Put(nlit - 257, 5);
  w.Put(ndist - 1, 5);
  w.Put(19 - 4, 4);
  for (uint8_t sym : kOrder) {
    w.Put(precode[sym], 3);
  }
  return CanonicalCodes(precode);
}

// Every kind of damage reports its own reason, the same on the fast path
// (whole input, padded so that the fast loop runs) and on the slow one (one
// byte per read), and in the words zlib uses for the same stream. (Padded in
// both: the slow path reads a whole main-table index before it refuses.)
TEST(InflateTest, DataErrorsCarryZlibsReason) {
  struct Case {
    const char* reason;
    uint16_t method;
    Bytes stream;
  };
  std::vector<Case> cases;
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(3, 2);
    cases.push_back({"invalid block type", 8, w.bytes()});
  }
  cases.push_back({"invalid stored block lengths", 8, {0x01, 0x05, 0x00, 0xFA, 0xF0, 'a', 'b'}});
  for (unsigned nlit : {286u, 287u}) {
    BitWriter w;  // 287 literal/length codes, or 31 distance codes
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(nlit == 287 ? 30 : 29, 5);
    w.Put(nlit == 287 ? 0 : 30, 5);
    w.Put(0, 4);
    cases.push_back({"too many length or distance symbols", 8, w.bytes()});
  }
  {
    BitWriter w;  // all 19 code length codes one bit long
    PutPrecode(w, 257, 1, std::vector<uint8_t>(19, 1));
    cases.push_back({"invalid code lengths set", 8, w.bytes()});
  }
  // A complete code length code with the repeat symbols: 0-15 five bits,
  // 16 two, 17 and 18 three.
  std::vector<uint8_t> precode(19, 5);
  precode[16] = 2;
  precode[17] = precode[18] = 3;
  {
    BitWriter w;  // "repeat the previous length" with none before it
    std::vector<uint32_t> codes = PutPrecode(w, 257, 1, precode);
    w.PutCode(codes[16], 2);
    w.Put(0, 2);
    cases.push_back({"invalid bit length repeat", 8, w.bytes()});
  }
  {
    BitWriter w;  // 2 x 138 zeros for 258 lengths
    std::vector<uint32_t> codes = PutPrecode(w, 257, 1, precode);
    for (int i = 0; i < 2; ++i) {
      w.PutCode(codes[18], 3);
      w.Put(127, 7);
    }
    cases.push_back({"invalid bit length repeat", 8, w.bytes()});
  }
  auto flat = [](size_t n, uint8_t len) { return std::vector<uint8_t>(n, len); };
  {
    std::vector<uint8_t> ll = flat(257, 8);
    ll[256] = ll[0] = ll[1] = 0;
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1, 1});
    cases.push_back({"invalid code -- missing end-of-block", 8, w.bytes()});
  }
  {
    std::vector<uint8_t> ll = flat(257, 9);
    ll[0] = ll[1] = 1;
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1, 1});
    cases.push_back({"invalid literal/lengths set", 8, w.bytes()});
  }
  {
    std::vector<uint8_t> ll = flat(257, 0);
    ll[65] = ll[256] = 1;
    BitWriter w;
    PutDynamicHeader(w, true, ll, {2});  // a lone two-bit distance code
    cases.push_back({"invalid distances set", 8, w.bytes()});
  }
  for (uint16_t method : {8, 9}) {
    BitWriter w;  // fixed symbol 286
    w.Put(1, 1);
    w.Put(1, 2);
    PutFixed(w, 'a');
    PutFixed(w, 286);
    cases.push_back({"invalid literal/length code", method, w.bytes()});
  }
  {
    std::vector<uint8_t> ll = flat(257, 0);
    ll[256] = 1;  // only end of block: the other one-bit codeword is unused
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1});
    w.PutCode(1, 1);
    cases.push_back({"invalid literal/length code", 8, w.bytes()});
  }
  {
    BitWriter w;  // fixed distance code 30, only Deflate64 has it
    w.Put(1, 1);
    w.Put(1, 2);
    PutFixed(w, 'a');
    PutFixed(w, 257);
    w.PutCode(30, 5);
    cases.push_back({"invalid distance code", 8, w.bytes()});
  }
  {
    std::vector<uint8_t> ll = flat(258, 0);
    ll[65] = ll[256] = 2;
    ll[257] = 1;
    BitWriter w;
    PutDynamicHeader(w, true, ll, {1});  // a lone distance code: codeword 1 unused
    w.PutCode(2, 2);
    w.PutCode(0, 1);
    w.PutCode(1, 1);
    cases.push_back({"invalid distance code", 8, w.bytes()});
  }
  for (uint16_t method : {8, 9}) {
    BitWriter w;  // one byte out, then a match two back
    w.Put(1, 1);
    w.Put(1, 2);
    PutFixed(w, 'a');
    PutFixed(w, 257);
    w.PutCode(1, 5);
    cases.push_back({"invalid distance too far back", method, w.bytes()});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.reason) + " method " + std::to_string(c.method));
    Bytes padded = c.stream;
    padded.resize(padded.size() + 32);
    for (const std::vector<size_t>& pattern : {std::vector<size_t>{}, {1}}) {
      Bytes out;
      DecodeResult r = Decode(c.method, 0, 0, padded, &out, pattern);
      ASSERT_EQ(r.status, DecodeStatus::kDataError) << DecodeStatusName(r.status);
      ASSERT_NE(r.reason, nullptr);
      EXPECT_EQ(std::string(r.reason), c.reason) << "pattern " << pattern.size();
    }
    if (c.method == 8) {
      EXPECT_EQ(ZlibReason(padded), c.reason);
    }
  }
}

// Random damage: wherever zlib refuses a stream, we refuse it for the same reason.
TEST(InflateTest, DamagedStreamsGiveZlibsReason) {
  std::mt19937 rng(1234);
  Bytes data = TextData(20000, 21);
  Bytes bin = BinaryData(20000, 22);
  data.insert(data.end(), bin.begin(), bin.end());
  int refused = 0;
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
    const Bytes packed = ZlibDeflate(data, 6, strategy);
    for (int round = 0; round < 150; ++round) {
      Bytes bad = packed;
      for (int f = 0; f < 1 + round % 3; ++f) {
        size_t at = rng() % std::min<size_t>(bad.size(), round % 2 ? 64 : bad.size());
        bad[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      SCOPED_TRACE("strategy " + std::to_string(strategy) + " round " + std::to_string(round));
      const std::string theirs = ZlibReason(bad);
      for (const std::vector<size_t>& pattern : {std::vector<size_t>{}, {1}}) {
        Bytes out;
        DecodeResult r = Decode(8, 0, 0, bad, &out, pattern);
        ASSERT_EQ(r.reason ? std::string(r.reason) : std::string(), theirs);
      }
      refused += !theirs.empty();
    }
  }
  EXPECT_GT(refused, 100);  // the damage does reach the checks
}

// A reason belongs to the stream that had it: a clean stream has none, also
// after Reset from a damaged one.
TEST(InflateTest, ReasonClearsWithTheStream) {
  const Bytes data = TextData(10000, 5);
  const Bytes packed = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  Bytes out;
  DecodeResult r = Decode(8, 0, 0, packed, &out);
  ASSERT_EQ(r.status, DecodeStatus::kOk);
  EXPECT_EQ(r.reason, nullptr);

  Inflater inflater(false);
  const Bytes bad = {0x07};  // final block of type 3
  Bytes buffer(data.size());
  size_t used = 0, made = 0;
  ASSERT_EQ(inflater.Inflate(bad.data(), bad.size(), buffer.data(), buffer.size(), &used, &made),
            InflateStatus::kDataError);
  ASSERT_NE(inflater.error_reason(), nullptr);
  inflater.Reset();
  EXPECT_EQ(inflater.error_reason(), nullptr);
  ASSERT_EQ(
      inflater.Inflate(packed.data(), packed.size(), buffer.data(), buffer.size(), &used, &made),
      InflateStatus::kStreamEnd);
  EXPECT_EQ(inflater.error_reason(), nullptr);
  EXPECT_TRUE(buffer == data);
}

TEST(InflateTest, SinkStopAndReadErrorEndTheMember) {
  const Bytes data = TextData(200000, 3);
  const Bytes packed = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
  {
    MemorySource source(packed);
    VectorSink sink;
    sink.stop_after = 40000;
    DecodeResult r = DecodeMember(8, 0, 0, source, sink);
    EXPECT_EQ(r.status, DecodeStatus::kOutputStopped);
    EXPECT_EQ(r.produced, sink.data.size());
    EXPECT_TRUE(std::equal(sink.data.begin(), sink.data.end(), data.begin()));
  }
  {
    MemorySource source(packed, {1000});
    source.FailAfter(5000);
    VectorSink sink;
    DecodeResult r = DecodeMember(8, 0, 0, source, sink);
    EXPECT_EQ(r.status, DecodeStatus::kReadError);
    EXPECT_TRUE(std::equal(sink.data.begin(), sink.data.end(), data.begin()));
  }
}

TEST(Crc32Test, MatchesZlibOnRandomData) {
  std::mt19937 rng(17);
  for (size_t size : {0, 1, 7, 8, 9, 63, 4096, 100003}) {
    Bytes data = RandomData(size, static_cast<uint32_t>(rng()));
    uint32_t ours = 0;
    size_t pos = 0;
    while (pos < size) {  // uneven pieces, chained
      size_t n = std::min<size_t>(size - pos, 1 + rng() % 300);
      ours = Crc32Update(ours, data.data() + pos, n);
      pos += n;
    }
    EXPECT_EQ(ours, crc32(0, data.data(), static_cast<uInt>(size))) << size;
    EXPECT_EQ(Crc32Update(0, data.data(), size), crc32(0, data.data(), static_cast<uInt>(size)));
  }
}

TEST(InflateTest, UnsupportedMethodWritesNothing) {
  const Bytes data = {1, 2, 3};
  for (uint16_t method : {0, 7, 10, 12, 14, 98, 99}) {
    Bytes out;
    MemorySource source(data);
    VectorSink sink;
    DecodeResult r = DecodeMember(method, 0, 3, source, sink);
    EXPECT_EQ(r.status, DecodeStatus::kUnsupported);
    EXPECT_FALSE(IsSupportedMethod(method));
    EXPECT_TRUE(sink.data.empty());
    EXPECT_EQ(source.position(), 0u);
  }
  for (uint16_t method : {1, 2, 3, 4, 5, 6, 8, 9}) {
    EXPECT_TRUE(IsSupportedMethod(method));
  }
}

}  // namespace
}  // namespace qm::zip::test
