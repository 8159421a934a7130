// The inflater's fast loop: decodes a block's codes with 8-byte input reads
// and 8-byte match copies while the input and the output room allow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "zip/decode/inflate_tables.h"

namespace qm::zip::internal {

// A refill reads 8 bytes and keeps whole bytes, so the bit buffer holds at
// least 64 - 7 bits after it, rounded down to whole bytes: 56.
inline constexpr unsigned kRefillBytes = 8;
inline constexpr unsigned kRefillMinBits = 56;
// A length codeword and its extra bits; a distance codeword and its extra bits.
inline constexpr unsigned kLengthBitsMax = kMaxCodeBits + kMaxLengthExtraBits;
inline constexpr unsigned kDistanceBitsMax = kMaxCodeBits + kMaxDistExtraBits;

// Input the loop needs in hand per step: two refills, the second starting at
// most 7 bytes after the first.
inline constexpr size_t kFastInputMargin = 2 * kRefillBytes;
static_assert(kFastInputMargin >= (kRefillBytes - 1) + kRefillBytes);

// What one refill covers: up to three literals, or a literal and a length,
// or (after the refill before it) a distance.
static_assert(3 * kMaxCodeBits <= kRefillMinBits);
static_assert(kMaxCodeBits + kLengthBitsMax <= kRefillMinBits);
static_assert(kDistanceBitsMax <= kRefillMinBits);
static_assert(kRefillMinBits + 7 < 64, "a refill never shifts a byte past the buffer");

// CopyMatch copies 8 bytes at a time and may write up to 7 bytes past the end.
inline constexpr size_t kCopyOverrun = kRefillBytes - 1;
// How far past out_limit one step of the loop may write: it starts below the
// limit, may write two literals, then a match and the copy's overrun.
inline constexpr size_t kFastOutputOverrun = 1 + kMaxMatch64 + kCopyOverrun;

// Copies a match of len bytes from dist bytes back; may write up to
// kCopyOverrun bytes past its end.
inline uint8_t* CopyMatch(uint8_t* out, uint32_t dist, uint32_t len) {
  const uint8_t* src = out - dist;
  uint8_t* const end = out + len;
  if (dist >= 8) {
    do {
      std::memcpy(out, src, 8);
      out += 8;
      src += 8;
    } while (out < end);
  } else if (dist == 1) {
    std::memset(out, *src, len);
  } else {
    while (out < end) {
      *out++ = *src++;
    }
  }
  return end;
}

// What the state machine hands the loop, and gets back updated.
struct FastLoopState {
  const uint8_t* in;
  const uint8_t* in_end;
  uint8_t* window;  // start of the output buffer: distances reach back to here
  uint8_t* out;
  uint8_t* out_limit;  // the loop starts no step at or past this
  uint64_t bitbuf;
  unsigned bitcount;
  const uint32_t* litlen;
  const uint32_t* dist;
};

enum class FastLoopEnd {
  kMargin,           // input or output room ran short; the slow path goes on
  kEndOfBlock,       // the end-of-block code was read
  kBadLitlenCode,    // a literal/length slot no symbol takes, or 286/287
  kBadDistanceCode,  // a distance slot no symbol takes, or 30/31 in Deflate
  kDistanceTooFar,   // a distance beyond the output so far
};

// Needs at least kFastInputMargin bytes of input, out below out_limit, and
// kFastOutputOverrun bytes of buffer past out_limit. On return the bit buffer
// holds fewer than 8 bits from bytes the loop read itself: whole bytes read
// ahead are handed back to in.
FastLoopEnd RunFastLoop(FastLoopState& state);

}  // namespace qm::zip::internal
