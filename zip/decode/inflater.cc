#include "zip/decode/inflater.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "zip/decode/inflate_fast.h"
#include "zip/decode/inflate_tables.h"

namespace qm::zip {
namespace {

using internal::EntryBits;
using internal::EntryExtra;
using internal::EntryValue;
using internal::kEntryEob;
using internal::kEntryInvalid;
using internal::kEntryLiteral;

constexpr uint8_t kPrecodeOrder[internal::kPrecodeSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                              11, 4,  12, 3, 13, 2, 14, 1, 15};

// Header fields of a dynamic block: 5 + 5 + 4 bits of counts, then 3 bits per
// code length code length.
constexpr unsigned kTableHeaderBits = 14;
constexpr unsigned kPrecodeLenBits = 3;
constexpr unsigned kMinLitlenCount = 257;
constexpr unsigned kMinDistCount = 1;
constexpr unsigned kMinPrecodeCount = 4;
constexpr unsigned kDeflateLitlenCount = 286;
constexpr unsigned kDeflateDistCount = 30;

// The code length code's repeat symbols: 16 repeats the previous length
// 3-6 times, 17 a zero 3-10 times, 18 a zero 11-138 times.
constexpr unsigned kRepeatPrevious = 16;
constexpr unsigned kRepeatZeroShort = 17;
constexpr unsigned kRepeatZeroLong = 18;

unsigned RepeatExtraBits(unsigned symbol) {
  return symbol == kRepeatPrevious ? 2 : symbol == kRepeatZeroShort ? 3 : 7;
}
unsigned RepeatBase(unsigned symbol) {
  return symbol == kRepeatZeroLong ? 11 : 3;
}

// The buffer keeps the window (the last 64 KiB for Deflate64, 32 KiB for
// Deflate) ahead of a decoding area; when the output reaches kSlideAt, the
// window moves back to the start. A larger area means fewer moves.
constexpr size_t kWindow64 = 65536;
constexpr size_t kDecodeArea = size_t{256} * 1024;
constexpr size_t kSlideAt = kWindow64 + kDecodeArea;
// Both paths start a match below kSlideAt; the fast loop may write
// kFastOutputOverrun past its limit, the slow path a match and its overrun.
constexpr size_t kBufferSize = kSlideAt + internal::kFastOutputOverrun;
static_assert(internal::kFastOutputOverrun >= internal::kMaxMatch64 + internal::kCopyOverrun);

// Data error reasons, in zlib's words so that a report reads the same
// whichever tool met the damage.
constexpr char kBadBlockType[] = "invalid block type";
constexpr char kBadStoredLength[] = "invalid stored block lengths";
constexpr char kTooManySymbols[] = "too many length or distance symbols";
constexpr char kBadCodeLengthsSet[] = "invalid code lengths set";
constexpr char kBadRepeat[] = "invalid bit length repeat";
constexpr char kNoEndOfBlock[] = "invalid code -- missing end-of-block";
constexpr char kBadLitlenSet[] = "invalid literal/lengths set";
constexpr char kBadDistanceSet[] = "invalid distances set";
constexpr char kBadLitlenCode[] = "invalid literal/length code";
constexpr char kBadDistanceCode[] = "invalid distance code";
constexpr char kDistanceTooFar[] = "invalid distance too far back";

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

// Input of one call, read low bits of each byte first.
struct BitReader {
  bool Pull() {
    if (next == end) {
      return false;
    }
    assert(count <= 56);
    bits |= uint64_t{*next++} << count;
    count += 8;
    return true;
  }
  bool Need(unsigned n) {
    assert(n <= 32);
    while (count < n) {
      if (!Pull()) {
        return false;
      }
    }
    return true;
  }
  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(bits & ((uint64_t{1} << n) - 1)); }
  void Drop(unsigned n) {
    assert(n <= count);
    bits >>= n;
    count -= n;
  }
  // The entry of the next codeword, pulling input until all its bits are
  // there; false when the input runs out first.
  bool NextEntry(const uint32_t* table, unsigned main_bits, uint32_t* entry) {
    for (;;) {
      *entry = internal::Lookup(table, main_bits, bits);
      if (EntryBits(*entry) <= count) {
        return true;
      }
      if (!Pull()) {
        return false;
      }
    }
  }

  const uint8_t* next = nullptr;
  const uint8_t* end = nullptr;
  uint64_t bits = 0;
  unsigned count = 0;
};

}  // namespace

struct Inflater::State {
  explicit State(bool d64) : deflate64(d64), buffer(new uint8_t[kBufferSize]) {}

  void Reset() {
    mode = Mode::kHeader;
    final_block = false;
    input = BitReader();
    pos = 0;
    read = 0;
    error_reason = nullptr;
  }

  // Decodes into buffer until pos reaches limit, the input runs out, the
  // stream ends or an error; progress shows in pos and in.
  void Decode(const uint8_t*& in, const uint8_t* in_end, size_t limit);

  // One step of the current mode; false when decoding must stop for now.
  bool Step(size_t limit);
  bool BlockHeader();
  bool StoredHeader();
  bool StoredCopy(size_t limit);
  bool TableHeader();
  bool PrecodeLens();
  bool CodeLens();
  bool BuildDynamicTables();
  bool LengthCode(size_t limit);
  bool FastLoop(size_t limit);
  bool LengthExtra();
  bool DistanceCode();
  bool DistanceExtra();

  void EndBlock() { mode = final_block ? Mode::kDone : Mode::kHeader; }
  bool Fail(const char* reason) {
    assert(reason != nullptr);
    mode = Mode::kError;
    error_reason = reason;
    return false;
  }

  const bool deflate64;
  Mode mode = Mode::kHeader;
  bool final_block = false;
  BitReader input;
  const char* error_reason = nullptr;  // set exactly when mode is kError

  const uint32_t* litlen_table = nullptr;
  const uint32_t* dist_table = nullptr;
  uint32_t litlen[internal::kLitlenTableSize];
  uint32_t dist[internal::kDistTableSize];
  uint32_t precode[internal::kPrecodeTableSize];

  uint32_t stored_left = 0;
  unsigned nlit = 0;
  unsigned ndist = 0;
  unsigned nprecode = 0;
  unsigned index = 0;  // next code length to read
  uint8_t lens[internal::kMaxLitlenSymbols + internal::kMaxDistSymbols];
  uint32_t length = 0;
  uint32_t extra = 0;
  uint32_t distance = 0;

  std::unique_ptr<uint8_t[]> buffer;
  size_t pos = 0;   // decoded up to here
  size_t read = 0;  // handed out up to here
};

void Inflater::State::Decode(const uint8_t*& in, const uint8_t* in_end, size_t limit) {
  input.next = in;
  input.end = in_end;
  while (Step(limit)) {
  }
  in = input.next;
}

// Steps that produce nothing run even without room, so that an end of block
// right after the last byte that fits is still seen.
bool Inflater::State::Step(size_t limit) {
  switch (mode) {
    case Mode::kHeader:
      return BlockHeader();
    case Mode::kStoredHeader:
      return StoredHeader();
    case Mode::kStored:
      return StoredCopy(limit);
    case Mode::kTableHeader:
      return TableHeader();
    case Mode::kPrecodeLens:
      return PrecodeLens();
    case Mode::kCodeLens:
      return CodeLens();
    case Mode::kLen:
      return LengthCode(limit);
    case Mode::kLenTail:
      return LengthExtra();
    case Mode::kDist:
      return DistanceCode();
    case Mode::kDistTail:
      return DistanceExtra();
    case Mode::kDone:
    case Mode::kError:
      break;
  }
  return false;
}

bool Inflater::State::BlockHeader() {
  if (!input.Need(3)) {
    return false;
  }
  final_block = input.Peek(1);
  const unsigned type = (input.bits >> 1) & 3;
  input.Drop(3);
  switch (type) {
    case 0:
      mode = Mode::kStoredHeader;
      return true;
    case 1: {
      const internal::FixedTables& fixed = internal::Fixed(deflate64);
      litlen_table = fixed.litlen;
      dist_table = fixed.dist;
      mode = Mode::kLen;
      return true;
    }
    case 2:
      mode = Mode::kTableHeader;
      return true;
    default:
      return Fail(kBadBlockType);
  }
}

bool Inflater::State::StoredHeader() {
  input.Drop(input.count & 7);  // a stored block starts on a byte boundary
  if (!input.Need(32)) {
    return false;
  }
  const uint32_t len = input.Peek(16);
  const uint32_t nlen = (input.bits >> 16) & 0xFFFF;
  if (len != (~nlen & 0xFFFF)) {
    return Fail(kBadStoredLength);
  }
  input.Drop(32);
  stored_left = len;
  mode = Mode::kStored;
  return true;
}

bool Inflater::State::StoredCopy(size_t limit) {
  assert(input.count % 8 == 0);  // aligned by the header
  if (stored_left && pos >= limit) {
    return false;
  }
  uint8_t* const base = buffer.get();
  // Bytes already in the bit buffer first, then straight from the input.
  while (stored_left && input.count >= 8 && pos < limit) {
    base[pos++] = static_cast<uint8_t>(input.bits);
    input.Drop(8);
    --stored_left;
  }
  const size_t n =
      std::min<size_t>({stored_left, limit - pos, static_cast<size_t>(input.end - input.next)});
  if (n) {
    std::memcpy(base + pos, input.next, n);
  }
  pos += n;
  input.next += n;
  stored_left -= static_cast<uint32_t>(n);
  if (stored_left == 0) {
    EndBlock();
    return true;
  }
  return input.next != input.end;
}

bool Inflater::State::TableHeader() {
  if (!input.Need(kTableHeaderBits)) {
    return false;
  }
  nlit = input.Peek(5) + kMinLitlenCount;
  ndist = ((input.bits >> 5) & 31) + kMinDistCount;
  nprecode = ((input.bits >> 10) & 15) + kMinPrecodeCount;
  input.Drop(kTableHeaderBits);
  assert(nlit <= internal::kMaxLitlenSymbols && ndist <= internal::kMaxDistSymbols);
  if (!deflate64 && (nlit > kDeflateLitlenCount || ndist > kDeflateDistCount)) {
    return Fail(kTooManySymbols);
  }
  std::memset(lens, 0, internal::kPrecodeSymbols);
  index = 0;
  mode = Mode::kPrecodeLens;
  return true;
}

bool Inflater::State::PrecodeLens() {
  while (index < nprecode) {
    if (!input.Need(kPrecodeLenBits)) {
      return false;
    }
    lens[kPrecodeOrder[index++]] = static_cast<uint8_t>(input.Peek(kPrecodeLenBits));
    input.Drop(kPrecodeLenBits);
  }
  if (!internal::BuildTable(internal::CodeKind::kPrecode, lens, internal::kPrecodeSymbols,
                            deflate64, precode)) {
    return Fail(kBadCodeLengthsSet);
  }
  index = 0;
  mode = Mode::kCodeLens;
  return true;
}

bool Inflater::State::CodeLens() {
  const unsigned total = nlit + ndist;
  while (index < total) {
    uint32_t entry;
    unsigned symbol;
    unsigned repeat_bits;
    // The codeword and a repeat's extra bits are taken together, so that a
    // step never stops between them.
    for (;;) {
      entry = precode[input.Peek(internal::kPrecodeBits)];
      symbol = EntryValue(entry);
      repeat_bits = symbol >= kRepeatPrevious ? RepeatExtraBits(symbol) : 0;
      if (EntryBits(entry) + repeat_bits <= input.count) {
        break;
      }
      if (!input.Pull()) {
        return false;
      }
    }
    if (entry & kEntryInvalid) {
      return Fail(kBadCodeLengthsSet);
    }
    input.Drop(EntryBits(entry));
    if (symbol < kRepeatPrevious) {
      lens[index++] = static_cast<uint8_t>(symbol);
      continue;
    }
    const unsigned repeat = input.Peek(repeat_bits) + RepeatBase(symbol);
    input.Drop(repeat_bits);
    if ((symbol == kRepeatPrevious && index == 0) || index + repeat > total) {
      return Fail(kBadRepeat);
    }
    const uint8_t value = symbol == kRepeatPrevious ? lens[index - 1] : 0;
    std::memset(lens + index, value, repeat);
    index += repeat;
  }
  return BuildDynamicTables();
}

bool Inflater::State::BuildDynamicTables() {
  const uint8_t* const litlen_lens = lens;
  const uint8_t* const dist_lens = lens + nlit;
  constexpr unsigned kEndOfBlock = 256;
  if (litlen_lens[kEndOfBlock] == 0) {
    return Fail(kNoEndOfBlock);
  }
  if (!internal::BuildTable(internal::CodeKind::kLitlen, litlen_lens, nlit, deflate64, litlen)) {
    return Fail(kBadLitlenSet);
  }
  if (!internal::BuildTable(internal::CodeKind::kDistance, dist_lens, ndist, deflate64, dist)) {
    return Fail(kBadDistanceSet);
  }
  litlen_table = litlen;
  dist_table = dist;
  mode = Mode::kLen;
  return true;
}

bool Inflater::State::LengthCode(size_t limit) {
  assert(litlen_table != nullptr && dist_table != nullptr);
  if (pos < limit && input.end - input.next >= static_cast<ptrdiff_t>(internal::kFastInputMargin)) {
    if (!FastLoop(limit)) {
      return false;
    }
    if (mode != Mode::kLen || pos >= limit) {
      return true;
    }
  }
  uint32_t entry;
  if (!input.NextEntry(litlen_table, internal::kLitlenBits, &entry)) {
    return false;
  }
  if (entry & kEntryInvalid) {
    return Fail(kBadLitlenCode);
  }
  if (pos >= limit && !(entry & kEntryEob)) {
    return false;
  }
  input.Drop(EntryBits(entry));
  if (entry & kEntryLiteral) {
    buffer[pos++] = static_cast<uint8_t>(EntryValue(entry));
  } else if (entry & kEntryEob) {
    EndBlock();
  } else {
    length = EntryValue(entry);
    extra = EntryExtra(entry);
    mode = Mode::kLenTail;
  }
  return true;
}

// Runs the fast loop from pos; false on a data error.
bool Inflater::State::FastLoop(size_t limit) {
  uint8_t* const base = buffer.get();
  internal::FastLoopState fast{input.next, input.end,   base,         base + pos, base + limit,
                               input.bits, input.count, litlen_table, dist_table};
  const internal::FastLoopEnd end = internal::RunFastLoop(fast);
  input.next = fast.in;
  input.bits = fast.bitbuf;
  input.count = fast.bitcount;
  pos = static_cast<size_t>(fast.out - base);
  assert(pos < kBufferSize);
  switch (end) {
    case internal::FastLoopEnd::kMargin:
      return true;
    case internal::FastLoopEnd::kEndOfBlock:
      EndBlock();
      return true;
    case internal::FastLoopEnd::kBadLitlenCode:
      return Fail(kBadLitlenCode);
    case internal::FastLoopEnd::kBadDistanceCode:
      return Fail(kBadDistanceCode);
    case internal::FastLoopEnd::kDistanceTooFar:
      return Fail(kDistanceTooFar);
  }
  return true;
}

bool Inflater::State::LengthExtra() {
  assert(extra <= internal::kMaxLengthExtraBits);
  if (!input.Need(extra)) {
    return false;
  }
  length += input.Peek(extra);
  input.Drop(extra);
  mode = Mode::kDist;
  return true;
}

bool Inflater::State::DistanceCode() {
  uint32_t entry;
  if (!input.NextEntry(dist_table, internal::kDistBits, &entry)) {
    return false;
  }
  if (entry & kEntryInvalid) {
    return Fail(kBadDistanceCode);
  }
  input.Drop(EntryBits(entry));
  distance = EntryValue(entry);
  extra = EntryExtra(entry);
  mode = Mode::kDistTail;
  return true;
}

bool Inflater::State::DistanceExtra() {
  assert(extra <= internal::kMaxDistExtraBits);
  if (!input.Need(extra)) {
    return false;
  }
  distance += input.Peek(extra);
  input.Drop(extra);
  if (distance > pos) {
    return Fail(kDistanceTooFar);
  }
  // The length was read with pos below the limit, and the limit never passes kSlideAt.
  assert(pos < kSlideAt && length <= internal::kMaxMatch64);
  internal::CopyMatch(buffer.get() + pos, distance, length);
  pos += length;
  mode = Mode::kLen;
  return true;
}

Inflater::Inflater(bool deflate64) : state_(std::make_unique<State>(deflate64)) {}

Inflater::~Inflater() = default;

void Inflater::Reset() {
  state_->Reset();
}

bool Inflater::deflate64() const {
  return state_->deflate64;
}

const char* Inflater::error_reason() const {
  return state_->error_reason;
}

InflateStatus Inflater::Inflate(const uint8_t* in,
                                size_t in_size,
                                uint8_t* out,
                                size_t out_size,
                                size_t* consumed,
                                size_t* produced) {
  State& state = *state_;
  assert((state.mode == Mode::kError) == (state.error_reason != nullptr));
  const uint8_t* next_in = in;
  const uint8_t* const in_end = in + in_size;
  size_t done = 0;
  const size_t window = state.deflate64 ? kWindow64 : kWindow64 / 2;
  InflateStatus status = InflateStatus::kNeedMore;
  for (;;) {
    assert(state.read <= state.pos);
    const size_t ready = std::min(state.pos - state.read, out_size - done);
    if (ready) {
      std::memcpy(out + done, state.buffer.get() + state.read, ready);
    }
    state.read += ready;
    done += ready;
    if (state.read < state.pos) {
      break;
    }
    if (state.mode == Mode::kError) {
      status = InflateStatus::kDataError;
      break;
    }
    if (state.mode == Mode::kDone) {
      status = InflateStatus::kStreamEnd;
      break;
    }
    if (state.pos >= kSlideAt) {
      const size_t keep = std::min(state.pos, window);
      std::memmove(state.buffer.get(), state.buffer.get() + state.pos - keep, keep);
      state.pos = state.read = keep;
    }
    const uint8_t* const before_in = next_in;
    const size_t before_pos = state.pos;
    const size_t room = out_size - done;
    state.Decode(next_in, in_end, std::min(state.pos + room, kSlideAt));
    if (room == 0) {
      if (state.read == state.pos && state.mode == Mode::kDone) {
        status = InflateStatus::kStreamEnd;
      } else if (state.read == state.pos && state.mode == Mode::kError) {
        status = InflateStatus::kDataError;
      }
      break;
    }
    if (next_in == before_in && state.pos == before_pos && state.mode != Mode::kError &&
        state.mode != Mode::kDone) {
      break;
    }
  }
  *consumed = static_cast<size_t>(next_in - in);
  *produced = done;
  return status;
}

}  // namespace qm::zip
