#include "zip/decode/inflate_tables.h"

#include <algorithm>
#include <cassert>

namespace qm::zip::internal {
namespace {

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[32] = {1,    2,    3,    4,     5,     7,     9,     13,
                                    17,   25,   33,   49,    65,    97,    129,   193,
                                    257,  385,  513,  769,   1025,  1537,  2049,  3073,
                                    4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

// Symbols of the literal/length code: 256 literals, end of block, 29 lengths.
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kLengthSymbols = 29;
constexpr unsigned kDeflateDistSymbols = 30;

static_assert(kDistExtra[kMaxDistSymbols - 1] == kMaxDistExtraBits);
static_assert(kDistBits <= kLitlenBits && kPrecodeBits <= kLitlenBits,
              "the literal/length main table is the widest");

uint32_t LitlenPayload(unsigned symbol, bool deflate64) {
  if (symbol < kEndOfBlock) {
    return kEntryLiteral | (symbol << 16);
  }
  if (symbol == kEndOfBlock) {
    return kEntryEob;
  }
  const unsigned length = symbol - kEndOfBlock - 1;
  if (length >= kLengthSymbols) {
    return kEntryInvalid;  // 286 and 287 take part in the code but never occur
  }
  if (deflate64 && length == kLengthSymbols - 1) {
    return (3u << 16) | (kMaxLengthExtraBits << 8);  // 3 + 16 extra bits, not 258
  }
  return (uint32_t{kLengthBase[length]} << 16) | (uint32_t{kLengthExtra[length]} << 8);
}

uint32_t DistPayload(unsigned symbol, bool deflate64) {
  if (symbol >= kMaxDistSymbols || (!deflate64 && symbol >= kDeflateDistSymbols)) {
    return kEntryInvalid;
  }
  return (uint32_t{kDistBase[symbol]} << 16) | (uint32_t{kDistExtra[symbol]} << 8);
}

uint32_t PrecodePayload(unsigned symbol, bool /*deflate64*/) {
  return symbol << 16;
}

struct CodeLayout {
  unsigned main_bits;
  unsigned table_size;
  bool allow_sparse;
  uint32_t (*payload)(unsigned symbol, bool deflate64);
};

CodeLayout LayoutOf(CodeKind kind) {
  switch (kind) {
    case CodeKind::kLitlen:
      return {kLitlenBits, kLitlenTableSize, true, LitlenPayload};
    case CodeKind::kDistance:
      return {kDistBits, kDistTableSize, true, DistPayload};
    case CodeKind::kPrecode:
      break;
  }
  return {kPrecodeBits, kPrecodeTableSize, false, PrecodePayload};
}

unsigned Reverse(unsigned codeword, unsigned length) {
  unsigned reversed = 0;
  for (unsigned i = 0; i < length; ++i, codeword >>= 1) {
    reversed = (reversed << 1) | (codeword & 1);
  }
  return reversed;
}

// Counts the codewords per length; false for a code Deflate does not allow.
bool CountLengths(const uint8_t* lens,
                  unsigned count,
                  bool allow_sparse,
                  unsigned per_length[kMaxCodeBits + 1],
                  unsigned* longest) {
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    assert(lens[symbol] <= kMaxCodeBits);
    ++per_length[lens[symbol]];
  }
  per_length[0] = 0;
  int unused = 1;  // codewords of the current length not yet taken
  *longest = 0;
  for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
    unused = (unused << 1) - static_cast<int>(per_length[length]);
    if (unused < 0) {
      return false;  // over-subscribed
    }
    if (per_length[length]) {
      *longest = length;
    }
  }
  if (unused == 0) {
    return true;
  }
  const bool sparse = *longest == 0 || (*longest == 1 && per_length[1] == 1);
  return allow_sparse && sparse;
}

// Each symbol's canonical codeword, reversed: the stream sends codewords
// most significant bit first and the tables are indexed by the low bits.
void AssignCodewords(const uint8_t* lens,
                     unsigned count,
                     const unsigned per_length[kMaxCodeBits + 1],
                     uint16_t* reversed) {
  unsigned next[kMaxCodeBits + 1] = {};
  for (unsigned length = 1; length < kMaxCodeBits; ++length) {
    next[length + 1] = (next[length] + per_length[length]) << 1;
  }
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    const unsigned length = lens[symbol];
    if (length) {
      reversed[symbol] = static_cast<uint16_t>(Reverse(next[length]++, length));
    }
  }
}

// Points each main-table prefix of longer codewords at its own subtable,
// sized by the longest codeword under the prefix. False when they do not fit,
// which the table sizes rule out for every code CountLengths takes.
bool LayOutSubtables(const uint8_t* lens,
                     unsigned count,
                     const uint16_t* reversed,
                     const CodeLayout& layout,
                     uint32_t* table) {
  const unsigned main_size = 1u << layout.main_bits;
  uint8_t longest_under[1u << kLitlenBits] = {};
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    if (lens[symbol] > layout.main_bits) {
      const unsigned prefix = reversed[symbol] & (main_size - 1);
      longest_under[prefix] = std::max(longest_under[prefix], lens[symbol]);
    }
  }
  unsigned next_free = main_size;
  for (unsigned prefix = 0; prefix < main_size; ++prefix) {
    if (!longest_under[prefix]) {
      continue;
    }
    const unsigned sub_bits = longest_under[prefix] - layout.main_bits;
    if (next_free + (1u << sub_bits) > layout.table_size) {
      assert(false && "a complete code outgrew its derived table size");
      return false;
    }
    table[prefix] = kEntrySub | (sub_bits << 8) | (next_free << 16) | layout.main_bits;
    std::fill_n(table + next_free, 1u << sub_bits, kEntryInvalid | longest_under[prefix]);
    next_free += 1u << sub_bits;
  }
  return true;
}

// Writes each symbol's entry into every slot whose low bits are its codeword.
void FillEntries(const uint8_t* lens,
                 unsigned count,
                 const uint16_t* reversed,
                 const CodeLayout& layout,
                 bool deflate64,
                 uint32_t* table) {
  const unsigned main_size = 1u << layout.main_bits;
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    const unsigned length = lens[symbol];
    if (!length) {
      continue;
    }
    const uint32_t entry = layout.payload(symbol, deflate64) | length;
    if (length <= layout.main_bits) {
      for (unsigned slot = reversed[symbol]; slot < main_size; slot += 1u << length) {
        table[slot] = entry;
      }
      continue;
    }
    const uint32_t link = table[reversed[symbol] & (main_size - 1)];
    assert(link & kEntrySub);
    const unsigned sub_size = 1u << EntryExtra(link);
    const unsigned step = 1u << (length - layout.main_bits);
    for (unsigned slot = reversed[symbol] >> layout.main_bits; slot < sub_size; slot += step) {
      table[EntryValue(link) + slot] = entry;
    }
  }
}

bool Build(const CodeLayout& layout,
           const uint8_t* lens,
           unsigned count,
           bool deflate64,
           uint32_t* table) {
  assert(count <= kMaxLitlenSymbols);
  unsigned per_length[kMaxCodeBits + 1] = {};
  unsigned longest = 0;
  if (!CountLengths(lens, count, layout.allow_sparse, per_length, &longest)) {
    return false;
  }
  uint16_t reversed[kMaxLitlenSymbols];
  AssignCodewords(lens, count, per_length, reversed);
  // Slots no codeword reaches (a sparse code) stay invalid; their length is
  // the main bits so that the slow path reads that far before refusing.
  std::fill_n(table, 1u << layout.main_bits, kEntryInvalid | layout.main_bits);
  if (longest > layout.main_bits && !LayOutSubtables(lens, count, reversed, layout, table)) {
    return false;
  }
  FillEntries(lens, count, reversed, layout, deflate64, table);
  return true;
}

}  // namespace

bool BuildTable(CodeKind kind,
                const uint8_t* lens,
                unsigned count,
                bool deflate64,
                uint32_t* table) {
  return Build(LayoutOf(kind), lens, count, deflate64, table);
}

FixedTables::FixedTables(bool deflate64) {
  // The fixed codes' lengths: literal/length 8, 9, 7, 8 by symbol range; distance 5.
  constexpr unsigned kFixedLitlenLongest = 9;
  constexpr unsigned kFixedDistLength = 5;
  static_assert(kFixedLitlenLongest <= kLitlenBits && kFixedDistLength <= kDistBits,
                "fixed codes need no subtables");
  uint8_t lens[kMaxLitlenSymbols];
  std::fill(lens, lens + 144, 8);
  std::fill(lens + 144, lens + 256, 9);
  std::fill(lens + 256, lens + 280, 7);
  std::fill(lens + 280, lens + 288, 8);
  const bool built_litlen = Build({kLitlenBits, 1u << kLitlenBits, false, LitlenPayload}, lens,
                                  kMaxLitlenSymbols, deflate64, litlen);
  std::fill(lens, lens + kMaxDistSymbols, kFixedDistLength);
  const bool built_dist = Build({kDistBits, 1u << kDistBits, false, DistPayload}, lens,
                                kMaxDistSymbols, deflate64, dist);
  assert(built_litlen && built_dist);
  (void)built_litlen;
  (void)built_dist;
}

const FixedTables& Fixed(bool deflate64) {
  static const FixedTables fixed32(false);
  static const FixedTables fixed64(true);
  return deflate64 ? fixed64 : fixed32;
}

}  // namespace qm::zip::internal
