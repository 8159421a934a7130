#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "gtest/gtest.h"
#include "tests/zip/decode/test_support.h"
#include "zip/decode/crc32.h"

namespace qm::zip::test {
namespace {

bool IsLegacy(uint16_t method) {
  return method >= 1 && method <= 6;
}

// Every Shrink, Reduce and Implode member of real archives decodes to its CRC.
TEST(LegacyTest, RealArchivesDecodeToTheirCrc) {
  const char* const archives[] = {
      "commons-compress/SHRUNK.ZIP",
      "commons-compress/imploding-4Kdict-2trees.zip",
      "commons-compress/imploding-8Kdict-3trees.zip",
      "commons-compress/lorem-ipsum-implode.zip",
      "sharpcompress/Zip.shrink.zip",
      "sharpcompress/Zip.reduce1.zip",
      "sharpcompress/Zip.reduce2.zip",
      "sharpcompress/Zip.reduce3.zip",
      "sharpcompress/Zip.reduce4.zip",
      "sharpcompress/Zip.implode.zip",
      "zip2/shrink.zip",
      "zip2/reduce.zip",
      "zip2/implode.zip",
      "libarchive/test_compat_zip_implode.zip",
      "libarchive/test_compat_zip_implode_realloc.zip",
      "libarchive/test_read_format_zip_implode.zip",
  };
  std::map<std::string, int> seen;  // method and Implode options met
  for (const char* name : archives) {
    for (const LocalMember& m : ReadZip(ReadFile(FixtureDir() + "/" + name))) {
      if (!IsLegacy(m.method)) {
        continue;
      }
      SCOPED_TRACE(std::string(name) + " " + m.name);
      Bytes out;
      DecodeResult r = Decode(m.method, m.flags, m.size, m.data, &out);
      EXPECT_EQ(r.status, DecodeStatus::kOk) << DecodeStatusName(r.status);
      EXPECT_EQ(out.size(), m.size);
      EXPECT_EQ(Crc32Update(0, out.data(), out.size()), m.crc);
      EXPECT_LE(r.consumed, m.data.size());
      std::string key = std::to_string(m.method);
      if (m.method == 6) {
        key += m.flags & 2 ? (m.flags & 4 ? "/6" : "/2") : (m.flags & 4 ? "/4" : "/0");
      }
      ++seen[key];
    }
  }
  for (const char* key : {"1", "2", "3", "4", "5", "6/0", "6/6"}) {
    EXPECT_GT(seen[key], 0) << key;
  }
}

TEST(LegacyTest, RawStreamsAndReadsOfAnySize) {
  struct Case {
    const char* input;
    uint16_t method, flags;
    const char* expected;  // nullptr: 3072 bytes checked below
  };
  const Case cases[] = {
      {"zip2/implode_hamlet_256.bin", 6, 0, "zip2/implode_hamlet_256.out"},
      {"zip2/reduce_hamlet_2048.bin", 5, 0, "zip2/implode_hamlet_2048.out"},
      {"zip2/reduce_zero_reduced.bin", 5, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Bytes in = ReadFile(FixtureDir() + "/" + c.input);
    Bytes expected = c.expected ? ReadFile(FixtureDir() + "/" + c.expected) : Bytes();
    size_t size = c.expected ? expected.size() : 3072;
    for (std::vector<size_t> pattern : {std::vector<size_t>{}, {1}, {0}}) {
      Bytes out;
      DecodeResult r = Decode(c.method, c.flags, size, in, &out, pattern);
      EXPECT_EQ(r.status, DecodeStatus::kOk);
      ASSERT_EQ(out.size(), size);
      if (c.expected) {
        EXPECT_TRUE(out == expected);
      } else {
        // Copies from before the start of the data read zeros.
        EXPECT_TRUE(std::all_of(out.begin() + 2048, out.end(), [](uint8_t b) { return b == 0; }));
      }
    }
  }
  // Members spread over many reads and many output blocks.
  for (const LocalMember& m : ReadZip(ReadFile(FixtureDir() + "/sharpcompress/Zip.reduce2.zip"))) {
    MemorySource source(m.data, {1, 0, 7});
    VectorSink sink;
    DecodeResult r = DecodeMember(m.method, m.flags, m.size, source, sink);
    EXPECT_EQ(r.status, DecodeStatus::kOk);
    EXPECT_EQ(Crc32Update(0, sink.data.data(), sink.data.size()), m.crc);
    EXPECT_LE(sink.largest_block, kOutputBlockSize);
  }
}

// Implode streams for all four option pairs, written by a small encoder with
// skewed trees (so the code assignment and its tie order matter).
class ImplodeWriter {
 public:
  ImplodeWriter(bool large_window, bool literal_tree)
      : large_(large_window), lit_tree_(literal_tree) {
    lit_lens_.assign(256, 9);
    lit_lens_['e'] = 1;
    lit_lens_[' '] = 8;
    len_lens_.assign(64, 7);
    len_lens_[5] = 1;
    len_lens_[40] = 6;
    dist_lens_ = len_lens_;
    std::swap(dist_lens_[0], dist_lens_[5]);
    lit_codes_ = Codes(lit_lens_);
    len_codes_ = Codes(len_lens_);
    dist_codes_ = Codes(dist_lens_);
  }

  // Codes as the .ZIP application note assigns them, left-aligned in 16 bits.
  static std::vector<uint16_t> Codes(const std::vector<uint8_t>& lens) {
    std::vector<int> order(lens.size());
    for (size_t i = 0; i < order.size(); ++i) {
      order[i] = static_cast<int>(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return lens[a] < lens[b]; });
    std::vector<uint16_t> codes(lens.size());
    uint32_t code = 0, step = 0, last = 0;
    for (size_t i = order.size(); i-- > 0;) {
      code += step;
      if (lens[order[i]] != last) {
        last = lens[order[i]];
        step = 1u << (16 - last);
      }
      codes[order[i]] = static_cast<uint16_t>(code);
    }
    return codes;
  }

  void PutTree(const std::vector<uint8_t>& lens) {
    std::vector<uint8_t> runs;
    for (size_t i = 0; i < lens.size();) {
      size_t j = i;
      while (j < lens.size() && lens[j] == lens[i] && j - i < 16) {
        ++j;
      }
      runs.push_back(static_cast<uint8_t>(((j - i - 1) << 4) | (lens[i] - 1)));
      i = j;
    }
    w_.Put(static_cast<uint32_t>(runs.size() - 1), 8);
    for (uint8_t b : runs) {
      w_.Put(b, 8);
    }
  }

  void PutSym(const std::vector<uint16_t>& codes, const std::vector<uint8_t>& lens, unsigned s) {
    w_.PutCode(codes[s] >> (16 - lens[s]), lens[s]);
  }

  Bytes Encode(const Bytes& data, size_t zero_lead) {
    if (lit_tree_) {
      PutTree(lit_lens_);
    }
    PutTree(len_lens_);
    PutTree(dist_lens_);
    const size_t window = large_ ? 8192 : 4096;
    const unsigned low_bits = large_ ? 7 : 6;
    const size_t min_len = lit_tree_ ? 3 : 2;
    const size_t max_len = min_len + 63 + 255;
    size_t i = 0;
    if (zero_lead) {  // the data starts with zeros copied from before its start
      PutMatch(window / 2, zero_lead, low_bits, min_len);
      i = zero_lead;
    }
    while (i < data.size()) {
      size_t best = 0, best_dist = 0;
      for (size_t d = 1; d <= std::min(i, window) && d <= 600; ++d) {
        size_t n = 0;
        while (i + n < data.size() && n < max_len && data[i + n - d] == data[i + n]) {
          ++n;
        }
        if (n > best) {
          best = n;
          best_dist = d;
        }
      }
      if (best >= min_len) {
        PutMatch(best_dist, best, low_bits, min_len);
        i += best;
      } else {
        w_.Put(1, 1);
        if (lit_tree_) {
          PutSym(lit_codes_, lit_lens_, data[i]);
        } else {
          w_.Put(data[i], 8);
        }
        ++i;
      }
    }
    return w_.bytes();
  }

 private:
  void PutMatch(size_t dist, size_t len, unsigned low_bits, size_t min_len) {
    w_.Put(0, 1);
    size_t d = dist - 1;
    w_.Put(static_cast<uint32_t>(d & ((1u << low_bits) - 1)), low_bits);
    PutSym(dist_codes_, dist_lens_, static_cast<unsigned>(d >> low_bits));
    size_t l = len - min_len;
    PutSym(len_codes_, len_lens_, static_cast<unsigned>(std::min<size_t>(l, 63)));
    if (l >= 63) {
      w_.Put(static_cast<uint32_t>(l - 63), 8);
    }
  }

  bool large_, lit_tree_;
  std::vector<uint8_t> lit_lens_, len_lens_, dist_lens_;
  std::vector<uint16_t> lit_codes_, len_codes_, dist_codes_;
  BitWriter w_;
};

TEST(LegacyTest, ExplodeAllFourOptionPairs) {
  Bytes data(40, 0);
  Bytes text = TextData(9000, 21);
  Bytes runs = RunData(3000, 22);
  data.insert(data.end(), text.begin(), text.end());
  data.insert(data.end(), runs.begin(), runs.end());
  data.insert(data.end(), text.begin() + 100, text.begin() + 700);  // 12 KiB back
  for (uint16_t flags : {0, 2, 4, 6}) {
    SCOPED_TRACE("flags " + std::to_string(flags));
    ImplodeWriter writer(flags & 2, flags & 4);
    Bytes packed = writer.Encode(data, 40);
    Bytes out;
    DecodeResult r = Decode(6, flags, data.size(), packed, &out, {0});
    EXPECT_EQ(r.status, DecodeStatus::kOk);
    EXPECT_TRUE(out == data);
    // Read with the other options the stream does not give the data.
    Bytes wrong;
    Decode(6, flags ^ 2, data.size(), packed, &wrong);
    EXPECT_FALSE(wrong == data);
  }
}

// Hand-made malformed streams.
TEST(LegacyTest, MalformedStreamsAreDataErrors) {
  struct Case {
    const char* name;
    uint16_t method, flags;
    Bytes stream;
    DecodeStatus expected;
    DataFault fault = DataFault::kNone;
  };
  std::vector<Case> cases;
  {
    BitWriter w;  // 'A', then control code 256 followed by 3
    w.Put('A', 9);
    w.Put(256, 9);
    w.Put(3, 9);
    cases.push_back(
        {"shrink control 3", 1, 0, w.bytes(), DecodeStatus::kDataError, DataFault::kBadBlock});
  }
  {
    BitWriter w;  // code size raised past 13 bits
    w.Put('A', 9);
    unsigned size = 9;
    for (int i = 0; i < 5; ++i) {
      w.Put(256, size);
      w.Put(1, size);
      ++size;
    }
    w.Put('B', 14);
    cases.push_back(
        {"shrink code size 14", 1, 0, w.bytes(), DecodeStatus::kDataError, DataFault::kBadBlock});
  }
  {
    BitWriter w;  // a code that was never defined and is not the next one
    w.Put('A', 9);
    w.Put(300, 9);
    cases.push_back(
        {"shrink unknown code", 1, 0, w.bytes(), DecodeStatus::kDataError, DataFault::kBadBlock});
  }
  {
    BitWriter w;  // "ABAB" then the code being defined (KwKwK case), then partial clear
    w.Put('A', 9);
    w.Put('B', 9);  // defines 257 = AB
    w.Put(257, 9);  // AB, defines 258 = BA
    w.Put(259, 9);  // not yet defined: ABA, defines 259 = ABA
    w.Put(256, 9);
    w.Put(2, 9);  // partial clear
    w.Put('C', 9);
    cases.push_back({"shrink KwKwK and partial clear", 1, 0, w.bytes(), DecodeStatus::kOk});
  }
  {
    // After a partial clear the first free code is the previous one: it
    // becomes its own prefix and its string never ends.
    BitWriter w;
    for (uint32_t code : std::initializer_list<uint32_t>{'a', 'b', 257, 256, 2, 'a', 257}) {
      w.Put(code, 9);
    }
    cases.push_back({"shrink self-referring code", 1, 0, w.bytes(), DecodeStatus::kDataError,
                     DataFault::kStackOverflow});
  }
  {
    BitWriter w;  // follower set of byte 255 claims 40 entries
    w.Put(40, 6);
    cases.push_back(
        {"reduce follower count", 2, 0, w.bytes(), DecodeStatus::kDataError, DataFault::kBadBlock});
  }
  {
    BitWriter w;  // follower set index beyond the set
    for (int j = 255; j >= 0; --j) {
      w.Put(j == 0 ? 3 : 0, 6);
    }
    w.Put('x', 8);
    w.Put('y', 8);
    w.Put('z', 8);
    w.Put(0, 1);
    w.Put(3, 2);  // index 3 of a 3-entry set
    cases.push_back(
        {"reduce follower index", 3, 0, w.bytes(), DecodeStatus::kDataError, DataFault::kBadBlock});
  }
  {
    BitWriter w;  // length tree: 64 symbols of 1 bit
    w.Put(3, 8);
    for (int i = 0; i < 4; ++i) {
      w.Put(0xF0, 8);
    }
    cases.push_back({"implode over-subscribed tree", 6, 0, w.bytes(), DecodeStatus::kDataError,
                     DataFault::kAmbiguousTree});
  }
  {
    BitWriter w;  // length tree of 48 symbols only
    w.Put(2, 8);
    for (int i = 0; i < 3; ++i) {
      w.Put(0xF5, 8);
    }
    cases.push_back({"implode short tree", 6, 0, w.bytes(), DecodeStatus::kDataError,
                     DataFault::kAmbiguousTree});
  }
  const Bytes shrink_expected = {'A', 'B', 'A', 'B', 'A', 'B', 'A', 'C'};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::vector<size_t> pattern : {std::vector<size_t>{}, {1}}) {
      Bytes out;
      uint64_t size = c.expected == DecodeStatus::kOk ? shrink_expected.size() : 1000;
      DecodeResult r = Decode(c.method, c.flags, size, c.stream, &out, pattern);
      EXPECT_EQ(r.status, c.expected) << DecodeStatusName(r.status);
      EXPECT_EQ(r.fault, c.fault);
      if (c.expected == DecodeStatus::kOk) {
        EXPECT_TRUE(out == shrink_expected);
      }
    }
  }
}

// Damaged members: truncations end with kInputEnded and a correct prefix, bit
// flips never overrun the expected size; no crash in either (sanitizers watch).
TEST(LegacyTest, DamagedMembersFailCleanly) {
  const char* const archives[] = {
      "sharpcompress/Zip.reduce1.zip",
      "sharpcompress/Zip.reduce4.zip",
      "commons-compress/imploding-8Kdict-3trees.zip",
      "commons-compress/imploding-4Kdict-2trees.zip",
      "commons-compress/SHRUNK.ZIP",
  };
  std::mt19937 rng(5);
  for (const char* name : archives) {
    for (const LocalMember& m : ReadZip(ReadFile(FixtureDir() + "/" + name))) {
      if (!IsLegacy(m.method) || m.size > 20000) {
        continue;
      }
      SCOPED_TRACE(std::string(name) + " " + m.name);
      Bytes good;
      ASSERT_EQ(Decode(m.method, m.flags, m.size, m.data, &good).status, DecodeStatus::kOk);
      for (size_t cut : {size_t{0}, size_t{1}, m.data.size() / 3, m.data.size() - 1}) {
        Bytes out;
        DecodeResult r =
            Decode(m.method, m.flags, m.size, Bytes(m.data.begin(), m.data.begin() + cut), &out);
        EXPECT_NE(r.status, DecodeStatus::kOk) << cut;
        EXPECT_LT(out.size(), m.size);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), good.begin())) << cut;
      }
      for (int round = 0; round < 30; ++round) {
        Bytes bad = m.data;
        bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        Bytes out;
        DecodeResult r = Decode(m.method, m.flags, m.size, bad, &out);
        EXPECT_LE(out.size(), m.size);
        EXPECT_EQ(r.produced, out.size());
      }
    }
  }
}

TEST(LegacyTest, SinkStopEndsTheMember) {
  int checked = 0;
  for (const LocalMember& m : ReadZip(ReadFile(FixtureDir() + "/sharpcompress/Zip.shrink.zip"))) {
    if (m.method != 1 || m.size <= kOutputBlockSize) {
      continue;
    }
    MemorySource source(m.data);
    VectorSink sink;
    sink.stop_after = 1;
    DecodeResult r = DecodeMember(m.method, m.flags, m.size, source, sink);
    EXPECT_EQ(r.status, DecodeStatus::kOutputStopped);
    EXPECT_EQ(r.produced, sink.data.size());
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace qm::zip::test
