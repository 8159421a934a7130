#include "zip/decode/inflater.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qm::zip {
namespace {

// Table entry layout (32 bits):
//   bits 0-4   code length in bits (the whole codeword, also for subtable entries)
//   bits 8-12  extra bits of a length or distance; for kSub the subtable's index bits
//   bits 16-31 literal byte, length base, distance base, or subtable start
constexpr uint32_t kSub = 0x20;
constexpr uint32_t kEob = 0x40;
constexpr uint32_t kInvalid = 0x80;
constexpr uint32_t kLiteral = 0x2000;

constexpr unsigned kLitlenBits = 10;
constexpr unsigned kDistBits = 8;
constexpr unsigned kPrecodeBits = 7;
// A complete code has at most half its symbols behind subtables, each at most 32 or 128 long.
constexpr unsigned kLitlenTableSize = (1u << kLitlenBits) + 144 * 32;
constexpr unsigned kDistTableSize = (1u << kDistBits) + 16 * 128;
constexpr unsigned kPrecodeTableSize = 1u << kPrecodeBits;

constexpr unsigned kMaxLitlen = 288;
constexpr unsigned kMaxDist = 32;

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
constexpr uint8_t kPrecodeOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};

// The window plus the decoding area; the longest match may run past the slide mark.
constexpr size_t kWindow64 = 65536;
constexpr size_t kSlideAt = kWindow64 + size_t{256} * 1024;
constexpr size_t kMaxMatch64 = 65538;
constexpr size_t kBufferSize = kSlideAt + kMaxMatch64 + 64;

uint32_t LitlenPayload(unsigned sym, bool d64) {
  if (sym < 256) {
    return kLiteral | (sym << 16);
  }
  if (sym == 256) {
    return kEob;
  }
  sym -= 257;
  if (sym >= 29) {
    return kInvalid;
  }
  if (d64 && sym == 28) {
    return (3u << 16) | (16u << 8);
  }
  return (uint32_t{kLengthBase[sym]} << 16) | (uint32_t{kLengthExtra[sym]} << 8);
}

uint32_t DistPayload(unsigned sym, bool d64) {
  if (sym >= 32 || (!d64 && sym >= 30)) {
    return kInvalid;
  }
  return (uint32_t{kDistBase[sym]} << 16) | (uint32_t{kDistExtra[sym]} << 8);
}

uint32_t PrecodePayload(unsigned sym, bool) {
  return sym << 16;
}

unsigned Reverse(unsigned code, unsigned len) {
  unsigned r = 0;
  for (unsigned i = 0; i < len; ++i, code >>= 1) {
    r = (r << 1) | (code & 1);
  }
  return r;
}

// Builds a two-level decoding table for canonical code lengths. A code that is
// over-subscribed, or incomplete other than a lone one-bit code or no code at
// all (where allowed), is refused.
bool BuildTable(const uint8_t* lens,
                unsigned n,
                unsigned main_bits,
                uint32_t* table,
                unsigned table_size,
                bool allow_sparse,
                uint32_t (*payload)(unsigned, bool),
                bool d64) {
  unsigned count[16] = {};
  for (unsigned i = 0; i < n; ++i) {
    ++count[lens[i]];
  }
  count[0] = 0;
  int left = 1;
  unsigned max_len = 0;
  for (unsigned len = 1; len <= 15; ++len) {
    left = (left << 1) - static_cast<int>(count[len]);
    if (left < 0) {
      return false;
    }
    if (count[len]) {
      max_len = len;
    }
  }
  if (left > 0) {
    bool sparse = max_len == 0 || (max_len == 1 && count[1] == 1);
    if (!allow_sparse || !sparse) {
      return false;
    }
  }
  unsigned next[16];
  next[1] = 0;
  for (unsigned len = 1; len < 15; ++len) {
    next[len + 1] = (next[len] + count[len]) << 1;
  }

  const unsigned main_size = 1u << main_bits;
  for (unsigned i = 0; i < main_size; ++i) {
    table[i] = kInvalid | main_bits;
  }

  uint16_t rev[kMaxLitlen];
  uint8_t sub_len[1u << kLitlenBits] = {};
  for (unsigned s = 0; s < n; ++s) {
    unsigned len = lens[s];
    if (!len) {
      continue;
    }
    rev[s] = static_cast<uint16_t>(Reverse(next[len]++, len));
    if (len > main_bits) {
      unsigned prefix = rev[s] & (main_size - 1);
      sub_len[prefix] = static_cast<uint8_t>(std::max<unsigned>(sub_len[prefix], len));
    }
  }
  unsigned cursor = main_size;
  if (max_len > main_bits) {
    for (unsigned p = 0; p < main_size; ++p) {
      if (!sub_len[p]) {
        continue;
      }
      unsigned sb = sub_len[p] - main_bits;
      if (cursor + (1u << sb) > table_size) {
        return false;
      }
      table[p] = kSub | (sb << 8) | (cursor << 16) | main_bits;
      for (unsigned i = 0; i < (1u << sb); ++i) {
        table[cursor + i] = kInvalid | sub_len[p];
      }
      cursor += 1u << sb;
    }
  }
  for (unsigned s = 0; s < n; ++s) {
    unsigned len = lens[s];
    if (!len) {
      continue;
    }
    uint32_t entry = payload(s, d64) | len;
    if (len <= main_bits) {
      for (unsigned i = rev[s]; i < main_size; i += 1u << len) {
        table[i] = entry;
      }
    } else {
      unsigned prefix = rev[s] & (main_size - 1);
      unsigned sb = (table[prefix] >> 8) & 31;
      unsigned base = table[prefix] >> 16;
      for (unsigned i = rev[s] >> main_bits; i < (1u << sb); i += 1u << (len - main_bits)) {
        table[base + i] = entry;
      }
    }
  }
  return true;
}

struct FixedTables {
  uint32_t litlen[1u << kLitlenBits];
  uint32_t dist[1u << kDistBits];
  explicit FixedTables(bool d64) {
    uint8_t lens[kMaxLitlen];
    std::fill(lens, lens + 144, 8);
    std::fill(lens + 144, lens + 256, 9);
    std::fill(lens + 256, lens + 280, 7);
    std::fill(lens + 280, lens + 288, 8);
    BuildTable(lens, 288, kLitlenBits, litlen, 1u << kLitlenBits, false, LitlenPayload, d64);
    std::fill(lens, lens + 32, 5);
    BuildTable(lens, 32, kDistBits, dist, 1u << kDistBits, false, DistPayload, d64);
  }
};

const FixedTables& Fixed(bool d64) {
  static const FixedTables fixed32(false);
  static const FixedTables fixed64(true);
  return d64 ? fixed64 : fixed32;
}

inline uint32_t Lookup(const uint32_t* table, unsigned main_bits, uint64_t bits) {
  uint32_t e = table[bits & ((1u << main_bits) - 1)];
  if (e & kSub) {
    e = table[(e >> 16) + ((bits >> main_bits) & ((1u << ((e >> 8) & 31)) - 1))];
  }
  return e;
}

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

// Copies a match; may write up to 7 bytes past its end (the buffer has room).
inline uint8_t* CopyMatch(uint8_t* out, uint32_t dist, uint32_t len) {
  const uint8_t* src = out - dist;
  uint8_t* end = out + len;
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

enum class Mode {
  kHeader,
  kStoredHeader,
  kStored,
  kTableHeader,
  kPrecodeLens,
  kCodeLens,
  kLen,
  kLenTail,
  kDist,
  kDistTail,
  kDone,
  kError,
};

}  // namespace

struct Inflater::State {
  explicit State(bool d64) : deflate64(d64), buffer(new uint8_t[kBufferSize]) {}

  void Reset() {
    mode = Mode::kHeader;
    final_block = false;
    bitbuf = 0;
    bitcount = 0;
    pos = 0;
    read = 0;
  }

  // Decodes into buffer until pos reaches limit, the input runs out, the
  // stream ends or an error; returns nothing, progress is seen in pos/in.
  void Decode(const uint8_t*& in, const uint8_t* in_end, size_t limit);
  bool FastLoop(const uint8_t*& in, const uint8_t* in_end, size_t limit);
  bool ReadTables();

  bool Pull(const uint8_t*& in, const uint8_t* in_end) {
    if (in == in_end) {
      return false;
    }
    bitbuf |= uint64_t{*in++} << bitcount;
    bitcount += 8;
    return true;
  }
  bool Need(unsigned n, const uint8_t*& in, const uint8_t* in_end) {
    while (bitcount < n) {
      if (!Pull(in, in_end)) {
        return false;
      }
    }
    return true;
  }
  void Drop(unsigned n) {
    bitbuf >>= n;
    bitcount -= n;
  }
  // The entry of the next code in table, pulling input until all its bits
  // are there; false when the input runs out first.
  bool NextEntry(const uint32_t* table,
                 unsigned main_bits,
                 const uint8_t*& in,
                 const uint8_t* in_end,
                 uint32_t* entry) {
    for (;;) {
      *entry = Lookup(table, main_bits, bitbuf);
      if ((*entry & 31) <= bitcount) {
        return true;
      }
      if (!Pull(in, in_end)) {
        return false;
      }
    }
  }

  const bool deflate64;
  Mode mode = Mode::kHeader;
  bool final_block = false;
  uint64_t bitbuf = 0;
  unsigned bitcount = 0;

  const uint32_t* litlen_table = nullptr;
  const uint32_t* dist_table = nullptr;
  uint32_t litlen[kLitlenTableSize];
  uint32_t dist[kDistTableSize];
  uint32_t precode[kPrecodeTableSize];

  uint32_t stored_left = 0;
  unsigned nlit = 0, ndist = 0, nprecode = 0, index = 0;
  uint8_t lens[kMaxLitlen + kMaxDist];
  uint32_t length = 0;
  uint32_t extra = 0;
  uint32_t distance = 0;

  std::unique_ptr<uint8_t[]> buffer;
  size_t pos = 0;   // decoded up to here
  size_t read = 0;  // handed out up to here
};

bool Inflater::State::ReadTables() {
  uint8_t* ll = lens;
  uint8_t* dl = lens + nlit;
  if (ll[256] == 0) {
    return false;
  }
  if (!BuildTable(ll, nlit, kLitlenBits, litlen, kLitlenTableSize, true, LitlenPayload,
                  deflate64)) {
    return false;
  }
  if (!BuildTable(dl, ndist, kDistBits, dist, kDistTableSize, true, DistPayload, deflate64)) {
    return false;
  }
  litlen_table = litlen;
  dist_table = dist;
  return true;
}

// The hot loop: plenty of input for two refills, and room for the longest match.
// Leaves bitcount below 8 bits' worth of the bytes it read itself.
bool Inflater::State::FastLoop(const uint8_t*& in_ref, const uint8_t* in_end, size_t limit) {
  const uint8_t* in = in_ref;
  const uint8_t* const in_start = in;
  uint8_t* const base = buffer.get();
  uint8_t* out = base + pos;
  uint8_t* const out_limit = base + limit;
  uint64_t b = bitbuf;
  unsigned bc = bitcount;
  const uint32_t* const lt = litlen_table;
  const uint32_t* const dt = dist_table;
  bool ok = true;

#define QM_REFILL()          \
  do {                       \
    b |= LoadLe64(in) << bc; \
    in += (63 - bc) >> 3;    \
    bc |= 56;                \
  } while (0)

  while (in_end - in >= 16 && out < out_limit) {
    QM_REFILL();
    uint32_t e = Lookup(lt, kLitlenBits, b);
    if (e & kLiteral) {
      b >>= e & 31;
      bc -= e & 31;
      *out++ = static_cast<uint8_t>(e >> 16);
      e = Lookup(lt, kLitlenBits, b);
      if (e & kLiteral) {
        b >>= e & 31;
        bc -= e & 31;
        *out++ = static_cast<uint8_t>(e >> 16);
        // Still at least 26 bits: a third literal fits, a length needs a refill.
        e = Lookup(lt, kLitlenBits, b);
        if (e & kLiteral) {
          b >>= e & 31;
          bc -= e & 31;
          *out++ = static_cast<uint8_t>(e >> 16);
          continue;
        }
        if (bc < 15 + 16) {
          continue;  // decode it again after the refill
        }
      }
    }
    if (e & (kEob | kInvalid)) {
      if (e & kInvalid) {
        ok = false;
        break;
      }
      b >>= e & 31;
      bc -= e & 31;
      mode = final_block ? Mode::kDone : Mode::kHeader;
      break;
    }
    b >>= e & 31;
    bc -= e & 31;
    unsigned n = (e >> 8) & 31;
    uint32_t len = (e >> 16) + LowBits(b, n);
    b >>= n;
    bc -= n;
    if (bc < 32) {
      QM_REFILL();
    }
    e = Lookup(dt, kDistBits, b);
    if (e & kInvalid) {
      ok = false;
      break;
    }
    b >>= e & 31;
    bc -= e & 31;
    n = (e >> 8) & 31;
    uint32_t d = (e >> 16) + LowBits(b, n);
    b >>= n;
    bc -= n;
    if (d > static_cast<size_t>(out - base)) {
      ok = false;
      break;
    }
    out = CopyMatch(out, d, len);
  }
#undef QM_REFILL

  // Hand back whole bytes read ahead so the slow path and the caller see exact counts.
  unsigned back = std::min<size_t>(bc >> 3, static_cast<size_t>(in - in_start));
  in -= back;
  bc -= back * 8;
  b &= (uint64_t{1} << bc) - 1;
  bitbuf = b;
  bitcount = bc;
  in_ref = in;
  pos = static_cast<size_t>(out - base);
  return ok;
}

void Inflater::State::Decode(const uint8_t*& in, const uint8_t* in_end, size_t limit) {
  uint8_t* const base = buffer.get();
  // Steps that produce nothing run even without room, so that an end of block
  // right after the last byte that fits is still seen.
  for (;;) {
    switch (mode) {
      case Mode::kHeader: {
        if (!Need(3, in, in_end)) {
          return;
        }
        final_block = bitbuf & 1;
        unsigned type = (bitbuf >> 1) & 3;
        Drop(3);
        if (type == 0) {
          mode = Mode::kStoredHeader;
        } else if (type == 1) {
          const FixedTables& f = Fixed(deflate64);
          litlen_table = f.litlen;
          dist_table = f.dist;
          mode = Mode::kLen;
        } else if (type == 2) {
          mode = Mode::kTableHeader;
        } else {
          mode = Mode::kError;
          return;
        }
        break;
      }
      case Mode::kStoredHeader: {
        Drop(bitcount & 7);
        if (!Need(32, in, in_end)) {
          return;
        }
        uint32_t len = bitbuf & 0xFFFF;
        uint32_t nlen = (bitbuf >> 16) & 0xFFFF;
        if (len != (~nlen & 0xFFFF)) {
          mode = Mode::kError;
          return;
        }
        Drop(32);
        stored_left = len;
        mode = Mode::kStored;
        break;
      }
      case Mode::kStored: {
        if (stored_left && pos >= limit) {
          return;
        }
        while (stored_left && bitcount >= 8 && pos < limit) {
          base[pos++] = static_cast<uint8_t>(bitbuf);
          Drop(8);
          --stored_left;
        }
        size_t n = std::min<size_t>({stored_left, limit - pos, static_cast<size_t>(in_end - in)});
        if (n) {
          std::memcpy(base + pos, in, n);
        }
        pos += n;
        in += n;
        stored_left -= static_cast<uint32_t>(n);
        if (stored_left == 0) {
          mode = final_block ? Mode::kDone : Mode::kHeader;
        } else if (in == in_end) {
          return;
        }
        break;
      }
      case Mode::kTableHeader: {
        if (!Need(14, in, in_end)) {
          return;
        }
        nlit = (bitbuf & 31) + 257;
        ndist = ((bitbuf >> 5) & 31) + 1;
        nprecode = ((bitbuf >> 10) & 15) + 4;
        Drop(14);
        if (!deflate64 && (nlit > 286 || ndist > 30)) {
          mode = Mode::kError;
          return;
        }
        std::memset(lens, 0, 19);
        index = 0;
        mode = Mode::kPrecodeLens;
        break;
      }
      case Mode::kPrecodeLens: {
        while (index < nprecode) {
          if (!Need(3, in, in_end)) {
            return;
          }
          lens[kPrecodeOrder[index++]] = bitbuf & 7;
          Drop(3);
        }
        if (!BuildTable(lens, 19, kPrecodeBits, precode, kPrecodeTableSize, false, PrecodePayload,
                        deflate64)) {
          mode = Mode::kError;
          return;
        }
        index = 0;
        mode = Mode::kCodeLens;
        break;
      }
      case Mode::kCodeLens: {
        const unsigned total = nlit + ndist;
        while (index < total) {
          uint32_t e;
          unsigned sym, need, more;
          for (;;) {
            e = precode[bitbuf & (kPrecodeTableSize - 1)];
            sym = e >> 16;
            more = sym == 16 ? 2 : sym == 17 ? 3 : sym == 18 ? 7 : 0;
            need = (e & 31) + more;
            if (need <= bitcount) {
              break;
            }
            if (!Pull(in, in_end)) {
              return;
            }
          }
          if (e & kInvalid) {
            mode = Mode::kError;
            return;
          }
          Drop(e & 31);
          if (sym < 16) {
            lens[index++] = static_cast<uint8_t>(sym);
            continue;
          }
          unsigned rep = LowBits(bitbuf, more) + (sym == 16 ? 3 : sym == 17 ? 3 : 11);
          Drop(more);
          if ((sym == 16 && index == 0) || index + rep > total) {
            mode = Mode::kError;
            return;
          }
          uint8_t value = sym == 16 ? lens[index - 1] : 0;
          std::memset(lens + index, value, rep);
          index += rep;
        }
        if (!ReadTables()) {
          mode = Mode::kError;
          return;
        }
        mode = Mode::kLen;
        break;
      }
      case Mode::kLen: {
        if (pos < limit && in_end - in >= 16) {
          if (!FastLoop(in, in_end, limit)) {
            mode = Mode::kError;
            return;
          }
          if (mode != Mode::kLen || pos >= limit) {
            break;
          }
        }
        uint32_t e;
        if (!NextEntry(litlen_table, kLitlenBits, in, in_end, &e)) {
          return;
        }
        if (e & kInvalid) {
          mode = Mode::kError;
          return;
        }
        if (pos >= limit && !(e & kEob)) {
          return;
        }
        Drop(e & 31);
        if (e & kLiteral) {
          base[pos++] = static_cast<uint8_t>(e >> 16);
        } else if (e & kEob) {
          mode = final_block ? Mode::kDone : Mode::kHeader;
        } else {
          length = e >> 16;
          extra = (e >> 8) & 31;
          mode = Mode::kLenTail;
        }
        break;
      }
      case Mode::kLenTail: {
        if (!Need(extra, in, in_end)) {
          return;
        }
        length += LowBits(bitbuf, extra);
        Drop(extra);
        mode = Mode::kDist;
        break;
      }
      case Mode::kDist: {
        uint32_t e;
        if (!NextEntry(dist_table, kDistBits, in, in_end, &e)) {
          return;
        }
        if (e & kInvalid) {
          mode = Mode::kError;
          return;
        }
        Drop(e & 31);
        distance = e >> 16;
        extra = (e >> 8) & 31;
        mode = Mode::kDistTail;
        break;
      }
      case Mode::kDistTail: {
        if (!Need(extra, in, in_end)) {
          return;
        }
        distance += LowBits(bitbuf, extra);
        Drop(extra);
        if (distance > pos) {
          mode = Mode::kError;
          return;
        }
        CopyMatch(base + pos, distance, length);
        pos += length;
        mode = Mode::kLen;
        break;
      }
      case Mode::kDone:
      case Mode::kError:
        return;
    }
  }
}

Inflater::Inflater(bool deflate64) : state_(std::make_unique<State>(deflate64)) {}

Inflater::~Inflater() = default;

void Inflater::Reset() {
  state_->Reset();
}

bool Inflater::deflate64() const {
  return state_->deflate64;
}

InflateStatus Inflater::Inflate(const uint8_t* in,
                                size_t in_size,
                                uint8_t* out,
                                size_t out_size,
                                size_t* consumed,
                                size_t* produced) {
  State& s = *state_;
  const uint8_t* ip = in;
  const uint8_t* const in_end = in + in_size;
  size_t done = 0;
  const size_t window = s.deflate64 ? kWindow64 : kWindow64 / 2;
  InflateStatus status = InflateStatus::kNeedMore;
  for (;;) {
    size_t pending = s.pos - s.read;
    size_t n = std::min(pending, out_size - done);
    if (n) {
      std::memcpy(out + done, s.buffer.get() + s.read, n);
    }
    s.read += n;
    done += n;
    if (s.read < s.pos) {
      break;
    }
    if (s.mode == Mode::kError) {
      status = InflateStatus::kDataError;
      break;
    }
    if (s.mode == Mode::kDone) {
      status = InflateStatus::kStreamEnd;
      break;
    }
    if (s.pos >= kSlideAt) {
      size_t keep = std::min(s.pos, window);
      std::memmove(s.buffer.get(), s.buffer.get() + s.pos - keep, keep);
      s.pos = s.read = keep;
    }
    const uint8_t* before_in = ip;
    size_t before_pos = s.pos;
    const size_t room = out_size - done;
    s.Decode(ip, in_end, std::min(s.pos + room, kSlideAt));
    if (room == 0) {
      if (s.read == s.pos && s.mode == Mode::kDone) {
        status = InflateStatus::kStreamEnd;
      } else if (s.read == s.pos && s.mode == Mode::kError) {
        status = InflateStatus::kDataError;
      }
      break;
    }
    if (ip == before_in && s.pos == before_pos && s.mode != Mode::kError && s.mode != Mode::kDone) {
      break;
    }
  }
  *consumed = static_cast<size_t>(ip - in);
  *produced = done;
  return status;
}

}  // namespace qm::zip
