// Reduce (methods 2 to 5): follower-set coding of bytes, then a marker-byte
// scheme for copies from a 4 KiB window.
#include <cstring>

#include "zip/decode/legacy_io.h"

namespace qm::zip::internal {
namespace {

constexpr unsigned kWindow = 4096;
constexpr unsigned kMaxFollowers = 32;
constexpr uint8_t kMarker = 144;

unsigned IndexBits(unsigned n) {
  unsigned bits = 1;
  while ((1u << bits) < n) {
    ++bits;
  }
  return bits;
}

}  // namespace

DecodeResult Unreduce(int factor, uint64_t size, InputSource& input, OutputSink& output) {
  BitInput in(input);
  BlockOutput out(output, size);
  if (size == 0) {
    return Finish(in, out);
  }

  uint8_t followers[256][kMaxFollowers];
  uint8_t count[256];
  for (int j = 255; j >= 0; --j) {
    int32_t n = in.Bits(6);
    if (n < 0) {
      return Finish(in, out);
    }
    if (n > static_cast<int32_t>(kMaxFollowers)) {
      return Finish(in, out, DataFault::kBadBlock);
    }
    count[j] = static_cast<uint8_t>(n);
    for (int i = 0; i < n; ++i) {
      int32_t b = in.Bits(8);
      if (b < 0) {
        return Finish(in, out);
      }
      followers[j][i] = static_cast<uint8_t>(b);
    }
  }

  const unsigned mask = 0xFFu >> factor;
  uint8_t window[kWindow] = {};
  unsigned wpos = 0;
  auto emit = [&](uint8_t b) {
    window[wpos] = b;
    wpos = (wpos + 1) & (kWindow - 1);
    return out.Put(b);
  };

  int state = 0;
  unsigned v = 0, len = 0;
  uint8_t last = 0;
  for (;;) {
    int32_t c;
    if (count[last] == 0) {
      c = in.Bits(8);
    } else {
      c = in.Bits(1);
      if (c == 1) {
        c = in.Bits(8);
      } else if (c == 0) {
        int32_t i = in.Bits(IndexBits(count[last]));
        if (i >= count[last]) {
          return Finish(in, out, DataFault::kBadBlock);
        }
        c = i < 0 ? -1 : followers[last][i];
      }
    }
    if (c < 0) {
      return Finish(in, out);
    }
    last = static_cast<uint8_t>(c);

    switch (state) {
      case 0:
        if (last == kMarker) {
          state = 1;
        } else if (!emit(last)) {
          return Finish(in, out);
        }
        break;
      case 1:
        if (last == 0) {
          if (!emit(kMarker)) {
            return Finish(in, out);
          }
          state = 0;
        } else {
          v = last;
          len = v & mask;
          state = len == mask ? 2 : 3;
        }
        break;
      case 2:
        len += last;
        state = 3;
        break;
      case 3: {
        unsigned dist = ((v >> (8 - factor)) << 8) + last + 1;
        unsigned src = (wpos - dist) & (kWindow - 1);
        for (unsigned k = 0; k < len + 3; ++k) {
          if (!emit(window[src])) {
            return Finish(in, out);
          }
          src = (src + 1) & (kWindow - 1);
        }
        state = 0;
        break;
      }
    }
  }
}

}  // namespace qm::zip::internal
