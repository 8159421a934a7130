// Implode (method 6): Shannon-Fano coded literals, lengths and distances over
// a 4 or 8 KiB window.
#include <algorithm>
#include <cstring>

#include "zip/decode/legacy_io.h"

namespace qm::zip::internal {
namespace {

constexpr unsigned kMaxSymbols = 256;
constexpr int kNone = -1;

// A binary decoding tree; a leaf is stored as -(symbol + 2), kNone marks no child.
class Tree {
 public:
  // Reads the tree's run-length coded bit lengths and builds the codes as the
  // .ZIP application note assigns them. false: malformed or impossible tree.
  bool Read(BitInput& in, unsigned symbols, bool* ended) {
    uint8_t lens[kMaxSymbols];
    int32_t n = in.Bits(8);
    if (n < 0) {
      *ended = true;
      return false;
    }
    unsigned filled = 0;
    for (int32_t i = 0; i <= n; ++i) {
      int32_t b = in.Bits(8);
      if (b < 0) {
        *ended = true;
        return false;
      }
      unsigned len = (b & 15) + 1;
      unsigned run = (b >> 4) + 1;
      if (filled + run > symbols) {
        return false;
      }
      std::fill(lens + filled, lens + filled + run, static_cast<uint8_t>(len));
      filled += run;
    }
    if (filled != symbols) {
      return false;
    }
    return Build(lens, symbols);
  }

  // -1 when the input ends, -2 when the bits lead nowhere.
  int Decode(BitInput& in) const {
    int node = 0;
    for (;;) {
      int32_t bit = in.Bits(1);
      if (bit < 0) {
        return -1;
      }
      int next = child_[node][bit];
      if (next == kNone) {
        return -2;
      }
      if (next < 0) {
        return -next - 2;
      }
      node = next;
    }
  }

 private:
  bool Build(const uint8_t* lens, unsigned symbols) {
    // Sorted by bit length, ties by symbol number; codes counted down from
    // the longest, left-aligned in 16 bits.
    uint16_t order[kMaxSymbols];
    for (unsigned i = 0; i < symbols; ++i) {
      order[i] = static_cast<uint16_t>(i);
    }
    std::stable_sort(order, order + symbols,
                     [&](uint16_t a, uint16_t b) { return lens[a] < lens[b]; });
    uint32_t code = 0, increment = 0;
    unsigned last_len = 0;
    nodes_ = 1;
    child_[0][0] = child_[0][1] = kNone;
    for (int i = static_cast<int>(symbols) - 1; i >= 0; --i) {
      code += increment;
      unsigned len = lens[order[i]];
      if (len != last_len) {
        last_len = len;
        increment = 1u << (16 - len);
      }
      if (code > 0xFFFF || !Insert(code, len, order[i])) {
        return false;
      }
    }
    return true;
  }

  bool Insert(uint32_t code, unsigned len, unsigned symbol) {
    int node = 0;
    for (unsigned k = 0; k < len; ++k) {
      int bit = (code >> (15 - k)) & 1;
      int& next = child_[node][bit];
      if (k + 1 == len) {
        if (next != kNone) {
          return false;
        }
        next = -(static_cast<int>(symbol) + 2);
        return true;
      }
      if (next == kNone) {
        if (nodes_ >= static_cast<int>(2 * kMaxSymbols)) {
          return false;
        }
        next = nodes_;
        child_[nodes_][0] = child_[nodes_][1] = kNone;
        ++nodes_;
      } else if (next < 0) {
        return false;  // passes through a leaf
      }
      node = next;
    }
    return false;
  }

  int child_[2 * kMaxSymbols][2];
  int nodes_ = 0;
};

}  // namespace

DecodeResult Explode(bool large_window,
                     bool literal_tree,
                     uint64_t size,
                     InputSource& input,
                     OutputSink& output) {
  BitInput in(input);
  BlockOutput out(output, size);
  if (size == 0) {
    return Finish(in, out);
  }

  auto literals = std::make_unique<Tree>();
  auto lengths = std::make_unique<Tree>();
  auto distances = std::make_unique<Tree>();
  bool ended = false;
  if ((literal_tree && !literals->Read(in, 256, &ended)) || !lengths->Read(in, 64, &ended) ||
      !distances->Read(in, 64, &ended)) {
    return Finish(in, out, ended ? DataFault::kNone : DataFault::kAmbiguousTree);
  }

  const unsigned window_size = large_window ? 8192 : 4096;
  const unsigned low_bits = large_window ? 7 : 6;
  const unsigned min_match = literal_tree ? 3 : 2;
  std::unique_ptr<uint8_t[]> window(new uint8_t[window_size]());
  unsigned wpos = 0;
  auto emit = [&](uint8_t b) {
    window[wpos] = b;
    wpos = (wpos + 1) & (window_size - 1);
    return out.Put(b);
  };

  for (;;) {
    int32_t flag = in.Bits(1);
    if (flag < 0) {
      return Finish(in, out);
    }
    if (flag == 1) {
      int lit = literal_tree ? literals->Decode(in) : in.Bits(8);
      if (lit < 0) {
        return Finish(in, out, lit == -2 ? DataFault::kAmbiguousTree : DataFault::kNone);
      }
      if (!emit(static_cast<uint8_t>(lit))) {
        return Finish(in, out);
      }
      continue;
    }
    int32_t low = in.Bits(low_bits);
    if (low < 0) {
      return Finish(in, out);
    }
    int high = distances->Decode(in);
    if (high < 0) {
      return Finish(in, out, high == -2 ? DataFault::kAmbiguousTree : DataFault::kNone);
    }
    unsigned dist = ((static_cast<unsigned>(high) << low_bits) | static_cast<unsigned>(low)) + 1;
    int len = lengths->Decode(in);
    if (len < 0) {
      return Finish(in, out, len == -2 ? DataFault::kAmbiguousTree : DataFault::kNone);
    }
    if (len == 63) {
      int32_t more = in.Bits(8);
      if (more < 0) {
        return Finish(in, out);
      }
      len += more;
    }
    len += static_cast<int>(min_match);
    // Bytes before the start of the data read as zeros, as PKZIP wrote them.
    unsigned src = (wpos - dist) & (window_size - 1);
    for (int k = 0; k < len; ++k) {
      if (!emit(window[src])) {
        return Finish(in, out);
      }
      src = (src + 1) & (window_size - 1);
    }
  }
}

}  // namespace qm::zip::internal
