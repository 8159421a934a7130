// Huffman decoding tables of the inflater: the entry layout, the table sizes
// and the builder that turns a block's code lengths into a table.
#pragma once

#include <cstdint>

namespace qm::zip::internal {

// Longest codeword of a literal/length or distance code, and of the code
// length code (3-bit lengths).
inline constexpr unsigned kMaxCodeBits = 15;
inline constexpr unsigned kMaxPrecodeBits = 7;

// Deflate64 may give lengths for every symbol; Deflate stops at 286 and 30.
inline constexpr unsigned kMaxLitlenSymbols = 288;
inline constexpr unsigned kMaxDistSymbols = 32;
inline constexpr unsigned kPrecodeSymbols = 19;

// Extra bits after a length or distance code; Deflate64's length symbol 285
// carries 16, the most of any.
inline constexpr unsigned kMaxLengthExtraBits = 16;
inline constexpr unsigned kMaxDistExtraBits = 14;

// Longest match: Deflate64's symbol 285 is 3 plus a 16-bit extra value.
inline constexpr uint32_t kMaxMatch64 = 3 + 65535;

// Table entry (32 bits):
//   bits 0-4    length of the whole codeword, also in a main-table entry
//               that leads to a subtable
//   bits 5-7    kind flags below; bit 13 marks a literal
//   bits 8-12   extra bits of a length or distance; for kEntrySub the
//               subtable's index bits
//   bits 16-31  literal byte, length base, distance base, code length
//               symbol, or subtable start
inline constexpr uint32_t kEntrySub = 0x20;
inline constexpr uint32_t kEntryEob = 0x40;
inline constexpr uint32_t kEntryInvalid = 0x80;
inline constexpr uint32_t kEntryLiteral = 0x2000;

inline unsigned EntryBits(uint32_t entry) {
  return entry & 31;
}
inline unsigned EntryExtra(uint32_t entry) {
  return (entry >> 8) & 31;
}
inline uint32_t EntryValue(uint32_t entry) {
  return entry >> 16;
}

static_assert(kMaxCodeBits <= 31 && kMaxLengthExtraBits <= 31, "fields are 5 bits wide");
static_assert(((kEntrySub | kEntryEob | kEntryInvalid | kEntryLiteral) & 0xFFFF1F1F) == 0,
              "flags stay out of the length, extra and value fields");

// Main table index bits. Most literal/length codewords of real streams are
// at most 10 bits and most distance codewords at most 8: longer ones take a
// second lookup in a subtable. The code length code is never longer than
// its table.
inline constexpr unsigned kLitlenBits = 10;
inline constexpr unsigned kDistBits = 8;
inline constexpr unsigned kPrecodeBits = kMaxPrecodeBits;

// The most entries a table can need: the main table plus, for each main
// table prefix of longer codewords, a subtable of 2^(longest codeword under
// that prefix - main bits) entries. Codes are canonical (shorter codewords
// first, then by symbol), so the longer codewords pile up in the last few
// prefixes; the worst case over all complete codes, found by exhaustive
// search over the counts per length as zlib's examples/enough.c does:
//   symbols 288, main bits 10, longest 15: 1334 entries
//   symbols  32, main bits  8, longest 15:  402 entries
// tests/zip/decode/inflate_tables_test.cc repeats the search and builds the
// worst codes. Incomplete codes are only taken without subtables.
inline constexpr unsigned kLitlenTableSize = 1334;
inline constexpr unsigned kDistTableSize = 402;
inline constexpr unsigned kPrecodeTableSize = 1u << kPrecodeBits;

static_assert(kLitlenBits < kMaxCodeBits && kDistBits < kMaxCodeBits);
static_assert(kLitlenTableSize > (1u << kLitlenBits) && kDistTableSize > (1u << kDistBits));
// A loose bound that needs no search: a complete code can put at most half
// its symbols behind subtables, each at most 2^(15 - main bits) entries.
static_assert(kLitlenTableSize <=
              (1u << kLitlenBits) + kMaxLitlenSymbols / 2 * (1u << (kMaxCodeBits - kLitlenBits)));
static_assert(kDistTableSize <=
              (1u << kDistBits) + kMaxDistSymbols / 2 * (1u << (kMaxCodeBits - kDistBits)));
static_assert(kLitlenTableSize <= 0xFFFF && kDistTableSize <= 0xFFFF,
              "a subtable start fits the 16-bit value field");

enum class CodeKind {
  kLitlen,    // literal/length code of a dynamic block
  kDistance,  // distance code of a dynamic block
  kPrecode,   // code length code
};

// Builds the decoding table of the canonical code with the given lengths
// (count of them, each 0..15) into table, which has the kind's table size
// (kLitlenTableSize, kDistTableSize, kPrecodeTableSize). Refuses an over-subscribed code, and an
// incomplete one unless it is a lone one-bit codeword or no codeword at all,
// which Deflate allows for the literal/length and distance codes.
bool BuildTable(CodeKind kind,
                const uint8_t* lens,
                unsigned count,
                bool deflate64,
                uint32_t* table);

// Tables of the fixed codes (block type 1); all codewords fit the main table.
struct FixedTables {
  explicit FixedTables(bool deflate64);
  uint32_t litlen[1u << kLitlenBits];
  uint32_t dist[1u << kDistBits];
};
const FixedTables& Fixed(bool deflate64);

// The entry of the codeword at the low end of bits; bits past the available
// input may be anything, the caller checks EntryBits against what it has.
inline uint32_t Lookup(const uint32_t* table, unsigned main_bits, uint64_t bits) {
  uint32_t entry = table[bits & ((1u << main_bits) - 1)];
  if (entry & kEntrySub) {
    const uint64_t index = (bits >> main_bits) & ((1u << EntryExtra(entry)) - 1);
    entry = table[EntryValue(entry) + index];
  }
  return entry;
}

}  // namespace qm::zip::internal
