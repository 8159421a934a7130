#include "zip/decode/inflate_fast.h"

#include <algorithm>
#include <bit>
#include <cassert>

namespace qm::zip::internal {
namespace {

inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

inline uint32_t LowBits(uint64_t v, unsigned n) {
  return static_cast<uint32_t>(v & ((uint64_t{1} << n) - 1));
}

// Tops the bit buffer up to at least kRefillMinBits, taking whole bytes.
inline void Refill(uint64_t& bits, unsigned& count, const uint8_t*& in) {
  bits |= LoadLe64(in) << count;
  in += (63 - count) >> 3;
  count |= kRefillMinBits;
}

inline void Consume(uint64_t& bits, unsigned& count, unsigned n) {
  bits >>= n;
  count -= n;
}

// Stores the loop's progress, handing whole bytes read ahead back to the
// input so that the slow path and the caller see exact counts.
void Store(FastLoopState& state,
           const uint8_t* in,
           size_t read,
           uint8_t* out,
           uint64_t bits,
           unsigned count) {
  const unsigned back = std::min<size_t>(count >> 3, read);
  count -= back * 8;
  state.in = in - back;
  state.out = out;
  state.bitbuf = bits & ((uint64_t{1} << count) - 1);
  state.bitcount = count;
}

}  // namespace

FastLoopEnd RunFastLoop(FastLoopState& state) {
  assert(state.in_end - state.in >= static_cast<ptrdiff_t>(kFastInputMargin));
  assert(state.out < state.out_limit && state.bitcount < 64);
  const uint8_t* in = state.in;
  const uint8_t* const in_start = in;
  const uint8_t* const in_end = state.in_end;
  uint8_t* const window = state.window;
  uint8_t* out = state.out;
  uint8_t* const out_limit = state.out_limit;
  uint64_t bits = state.bitbuf;
  unsigned count = state.bitcount;
  const uint32_t* const litlen = state.litlen;
  const uint32_t* const dist = state.dist;
  FastLoopEnd end = FastLoopEnd::kMargin;

  while (in_end - in >= static_cast<ptrdiff_t>(kFastInputMargin) && out < out_limit) {
    Refill(bits, count, in);
    uint32_t entry = Lookup(litlen, kLitlenBits, bits);
    if (entry & kEntryLiteral) {
      Consume(bits, count, EntryBits(entry));
      *out++ = static_cast<uint8_t>(EntryValue(entry));
      entry = Lookup(litlen, kLitlenBits, bits);
      if (entry & kEntryLiteral) {
        Consume(bits, count, EntryBits(entry));
        *out++ = static_cast<uint8_t>(EntryValue(entry));
        // 56 - 2 * 15 bits are left: a third literal fits, a length only
        // when enough came with the refill.
        entry = Lookup(litlen, kLitlenBits, bits);
        if (entry & kEntryLiteral) {
          Consume(bits, count, EntryBits(entry));
          *out++ = static_cast<uint8_t>(EntryValue(entry));
          continue;
        }
        if (count < kLengthBitsMax) {
          continue;  // decoded again after the next refill
        }
      }
    }
    if (entry & (kEntryEob | kEntryInvalid)) {
      if (entry & kEntryInvalid) {
        end = FastLoopEnd::kBadLitlenCode;
        break;
      }
      Consume(bits, count, EntryBits(entry));
      end = FastLoopEnd::kEndOfBlock;
      break;
    }
    Consume(bits, count, EntryBits(entry));
    unsigned extra = EntryExtra(entry);
    const uint32_t length = EntryValue(entry) + LowBits(bits, extra);
    Consume(bits, count, extra);
    if (count < kDistanceBitsMax) {
      Refill(bits, count, in);
    }
    entry = Lookup(dist, kDistBits, bits);
    if (entry & kEntryInvalid) {
      end = FastLoopEnd::kBadDistanceCode;
      break;
    }
    Consume(bits, count, EntryBits(entry));
    extra = EntryExtra(entry);
    const uint32_t distance = EntryValue(entry) + LowBits(bits, extra);
    Consume(bits, count, extra);
    if (distance > static_cast<size_t>(out - window)) {
      end = FastLoopEnd::kDistanceTooFar;
      break;
    }
    out = CopyMatch(out, distance, length);
  }

  Store(state, in, in - in_start, out, bits, count);
  return end;
}

}  // namespace qm::zip::internal
