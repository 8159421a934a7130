// The decoding tables' sizes against an exhaustive search over all complete
// codes, and the worst codes decoded end to end.
#include <algorithm>
#include <bit>
#include <vector>

#include "gtest/gtest.h"
#include "tests/zip/decode/test_support.h"
#include "zip/decode/inflate_tables.h"

namespace qm::zip::test {
namespace {

// The most table entries any complete canonical code on at most `symbols`
// symbols, with codewords up to `longest` bits, needs with a main table of
// `main_bits`: the main table plus, per prefix of longer codewords, 2^(longest
// codeword under it - main_bits). Walks the lengths from main_bits + 1 up,
// choosing how many codewords each length takes; within a length, codewords
// fill the prefixes in order, so only the prefix being filled is open.
class TableSizeSearch {
 public:
  TableSizeSearch(unsigned symbols, unsigned main_bits, unsigned longest)
      : symbols_(symbols), main_bits_(main_bits), longest_(longest) {
    // left is always even: index it halved.
    memo_.assign(static_cast<size_t>(longest_ - main_bits_) * (symbols_ + 1) * (symbols_ / 2 + 1) *
                     ((1u << (longest_ - main_bits_)) + 1),
                 kUnknown);
  }

  // The maximum, and the codeword counts per length (index = length) of a
  // code that needs it.
  int Run(std::vector<unsigned>* per_length) {
    const unsigned main_size = 1u << main_bits_;
    int best = static_cast<int>(main_size);
    unsigned best_open = 0;
    unsigned best_deep = 0;
    // open: main-table prefixes of longer codewords; the rest of the main
    // table takes the fewest codewords of main_bits or less (one per bit of
    // main_size - open).
    for (unsigned open = 1; open < main_size; ++open) {
      const unsigned above = static_cast<unsigned>(std::popcount(main_size - open));
      for (unsigned deep = 2 * open; deep + above <= symbols_; ++deep) {
        const int more = Best(deep, main_bits_ + 1, 2 * open, 0);
        if (more >= 0 && static_cast<int>(main_size) + more > best) {
          best = static_cast<int>(main_size) + more;
          best_open = open;
          best_deep = deep;
        }
      }
    }
    per_length->assign(longest_ + 1, 0);
    if (best_open == 0) {
      return best;
    }
    unsigned rest = main_size - best_open;
    for (unsigned length = main_bits_; rest; --length, rest >>= 1) {
      (*per_length)[length] = rest & 1;
    }
    Trace(best_deep, main_bits_ + 1, 2 * best_open, 0, per_length);
    return best;
  }

 private:
  static constexpr int kUnknown = -2;

  // Codewords `use` of this length take from the open prefix, then from new
  // ones; returns the entries that adds and leaves the open prefix's free
  // slots at this length in *free.
  unsigned Take(unsigned length, unsigned use, unsigned* free) const {
    const unsigned sub_size = 1u << (length - main_bits_);
    unsigned added = 0;
    while (use > *free) {
      use -= *free;
      *free = sub_size;
      added += sub_size;
    }
    *free -= use;
    return added;
  }

  // Entries added from `length` on, with `left` unused codewords of that
  // length of which `free` lie in the open prefix; -1 if no complete code
  // on exactly `syms` more symbols exists.
  int Best(unsigned syms, unsigned length, unsigned left, unsigned free) {
    if (left > syms || (uint64_t{left} << (longest_ - length)) < syms) {
      return -1;
    }
    int16_t& slot = memo_[Index(syms, length, left, free)];
    if (slot != kUnknown) {
      return slot;
    }
    int best = -1;
    for (unsigned use = 0; use <= left; ++use) {
      best = std::max(best, Choice(syms, length, left, free, use));
    }
    slot = static_cast<int16_t>(best);
    return best;
  }

  int Choice(unsigned syms, unsigned length, unsigned left, unsigned free, unsigned use) {
    const int added = static_cast<int>(Take(length, use, &free));
    if (use == left) {
      return syms == use ? added : -1;
    }
    if (length == longest_) {
      return -1;
    }
    // A prefix still open at the next length doubles its subtable.
    const int grown = free ? static_cast<int>(1u << (length - main_bits_)) : 0;
    const int rest = Best(syms - use, length + 1, 2 * (left - use), 2 * free);
    return rest < 0 ? -1 : added + grown + rest;
  }

  void Trace(unsigned syms,
             unsigned length,
             unsigned left,
             unsigned free,
             std::vector<unsigned>* per_length) {
    const int target = Best(syms, length, left, free);
    for (unsigned use = 0; use <= left; ++use) {
      if (Choice(syms, length, left, free, use) != target) {
        continue;
      }
      (*per_length)[length] = use;
      if (use < left) {
        Take(length, use, &free);
        Trace(syms - use, length + 1, 2 * (left - use), 2 * free, per_length);
      }
      return;
    }
  }

  size_t Index(unsigned syms, unsigned length, unsigned left, unsigned free) const {
    const size_t frees = (1u << (longest_ - main_bits_)) + 1;
    return ((static_cast<size_t>(length - main_bits_ - 1) * (symbols_ + 1) + syms) *
                (symbols_ / 2 + 1) +
            left / 2) *
               frees +
           free;
  }

  const unsigned symbols_;
  const unsigned main_bits_;
  const unsigned longest_;
  std::vector<int16_t> memo_;
};

TEST(InflateTablesTest, SearchReproducesZlibsPublishedBounds) {
  // zlib's inftrees.h: 852 for 286 symbols with 9 main bits, 592 for 30 with 6.
  std::vector<unsigned> per_length;
  EXPECT_EQ(TableSizeSearch(286, 9, 15).Run(&per_length), 852);
  EXPECT_EQ(TableSizeSearch(30, 6, 15).Run(&per_length), 592);
}

// Code lengths for `symbols` symbols with the given counts per length: the
// longest go to the first symbols, so that literals carry them.
std::vector<uint8_t> LengthsFromCounts(const std::vector<unsigned>& per_length, unsigned symbols) {
  std::vector<uint8_t> lens;
  for (unsigned length = static_cast<unsigned>(per_length.size()); length-- > 1;) {
    lens.insert(lens.end(), per_length[length], static_cast<uint8_t>(length));
  }
  lens.resize(symbols, 0);
  return lens;
}

// The worst codes fit their tables exactly: the search finds the table
// sizes, and a Deflate64 block with both worst codes decodes every
// literal and every distance code.
TEST(InflateTablesTest, WorstCodesFitTheirTables) {
  std::vector<unsigned> litlen_counts;
  std::vector<unsigned> dist_counts;
  ASSERT_EQ(
      TableSizeSearch(internal::kMaxLitlenSymbols, internal::kLitlenBits, internal::kMaxCodeBits)
          .Run(&litlen_counts),
      static_cast<int>(internal::kLitlenTableSize));
  ASSERT_EQ(TableSizeSearch(internal::kMaxDistSymbols, internal::kDistBits, internal::kMaxCodeBits)
                .Run(&dist_counts),
            static_cast<int>(internal::kDistTableSize));

  // Literals take the longest lengths; end of block and length 3 (symbol
  // 257) two of the rest.
  std::vector<uint8_t> litlen = LengthsFromCounts(litlen_counts, internal::kMaxLitlenSymbols);
  ASSERT_NE(litlen[257], 0) << "the worst code leaves too few symbols for the test";
  std::swap(litlen[256], litlen[internal::kMaxLitlenSymbols - 1]);
  ASSERT_NE(litlen[256], 0);
  const std::vector<uint8_t> dist = LengthsFromCounts(dist_counts, internal::kMaxDistSymbols);
  ASSERT_GT(*std::max_element(litlen.begin(), litlen.begin() + 256), internal::kLitlenBits);
  ASSERT_GT(*std::max_element(dist.begin(), dist.end()), internal::kDistBits);

  std::vector<uint32_t> table(internal::kLitlenTableSize);
  EXPECT_TRUE(internal::BuildTable(internal::CodeKind::kLitlen, litlen.data(),
                                   static_cast<unsigned>(litlen.size()), true, table.data()));
  table.assign(internal::kDistTableSize, 0);
  EXPECT_TRUE(internal::BuildTable(internal::CodeKind::kDistance, dist.data(),
                                   static_cast<unsigned>(dist.size()), true, table.data()));

  BitWriter w;
  PutDynamicHeader(w, true, litlen, dist);
  const std::vector<uint32_t> litlen_codes = CanonicalCodes(litlen);
  const std::vector<uint32_t> dist_codes = CanonicalCodes(dist);
  // 64 KiB of every literal in turn, so that each distance has history.
  Bytes expected;
  while (expected.size() < 65536) {
    for (unsigned byte = 0; byte < 256; ++byte) {
      w.PutCode(litlen_codes[byte], litlen[byte]);
      expected.push_back(static_cast<uint8_t>(byte));
    }
  }
  // A 3-byte match at each distance code's base distance.
  static const uint32_t kDistBase[32] = {1,    2,    3,    4,     5,     7,     9,     13,
                                         17,   25,   33,   49,    65,    97,    129,   193,
                                         257,  385,  513,  769,   1025,  1537,  2049,  3073,
                                         4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
  static const uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                         7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
  for (unsigned code = 0; code < internal::kMaxDistSymbols; ++code) {
    w.PutCode(litlen_codes[257], litlen[257]);
    w.PutCode(dist_codes[code], dist[code]);
    w.Put(0, kDistExtra[code]);
    for (int i = 0; i < 3; ++i) {
      expected.push_back(expected[expected.size() - kDistBase[code]]);
    }
  }
  w.PutCode(litlen_codes[256], litlen[256]);

  for (const std::vector<size_t>& pattern : {std::vector<size_t>{}, {1}}) {
    Bytes out;
    DecodeResult r = Decode(9, 0, 0, w.bytes(), &out, pattern);
    ASSERT_EQ(r.status, DecodeStatus::kOk) << (r.reason ? r.reason : "");
    ASSERT_TRUE(out == expected);
  }
}

}  // namespace
}  // namespace qm::zip::test
