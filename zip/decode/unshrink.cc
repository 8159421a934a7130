// Shrink (method 1): LZW with 9 to 13 bit codes and partial clearing.
#include <cstring>
#include <vector>

#include "zip/decode/legacy_io.h"

namespace qm::zip::internal {
namespace {

constexpr unsigned kCodes = 8192;
constexpr unsigned kFirstFree = 257;
constexpr unsigned kControl = 256;
constexpr unsigned kMaxCodeSize = 13;
constexpr int32_t kUnused = -1;

struct Table {
  int32_t prefix[kCodes];  // kUnused when the code is free
  uint8_t suffix[kCodes];
  uint16_t uses[kCodes];  // codes that have this one as their prefix
  uint16_t free_list[kCodes];
  unsigned free_count = 0;
  unsigned free_next = 0;  // index into free_list

  Table() {
    for (unsigned c = 0; c < kCodes; ++c) {
      prefix[c] = c < kControl ? kControl : kUnused;  // literals have no prefix
      suffix[c] = static_cast<uint8_t>(c);
      uses[c] = 0;
    }
    for (unsigned c = kFirstFree; c < kCodes; ++c) {
      free_list[free_count++] = static_cast<uint16_t>(c);
    }
  }

  bool in_use(unsigned c) const { return c < kControl || prefix[c] != kUnused; }

  void PartialClear() {
    // Leaves are judged all at once, before any of them is freed.
    std::vector<uint16_t> leaves;
    for (unsigned c = kFirstFree; c < kCodes; ++c) {
      if (prefix[c] != kUnused && uses[c] == 0) {
        leaves.push_back(static_cast<uint16_t>(c));
      }
    }
    for (unsigned c : leaves) {
      if (prefix[c] >= static_cast<int32_t>(kFirstFree)) {
        --uses[prefix[c]];
      }
      prefix[c] = kUnused;
    }
    // Freed codes are handed out again in increasing order.
    free_count = 0;
    free_next = 0;
    for (unsigned c = kFirstFree; c < kCodes; ++c) {
      if (prefix[c] == kUnused) {
        free_list[free_count++] = static_cast<uint16_t>(c);
      }
    }
  }
};

}  // namespace

DecodeResult Unshrink(uint64_t size, InputSource& input, OutputSink& output) {
  BitInput in(input);
  BlockOutput out(output, size);
  if (size == 0) {
    return Finish(in, out);
  }
  auto table = std::make_unique<Table>();
  std::vector<uint8_t> stack(kCodes);

  unsigned code_size = 9;
  int32_t first = in.Bits(code_size);
  if (first < 0) {
    return Finish(in, out, in.read_error() ? DataFault::kNone : DataFault::kBadBlock);
  }
  if (first > 255) {
    return Finish(in, out, DataFault::kBadBlock);
  }
  unsigned prev = static_cast<unsigned>(first);
  uint8_t prev_first = static_cast<uint8_t>(first);
  if (!out.Put(prev_first)) {
    return Finish(in, out);
  }

  for (;;) {
    int32_t v = in.Bits(code_size);
    if (v < 0) {
      return Finish(in, out);
    }
    unsigned code = static_cast<unsigned>(v);
    if (code == kControl) {
      int32_t op = in.Bits(code_size);
      if (op < 0) {
        return Finish(in, out);
      }
      if (op == 1) {
        if (code_size == kMaxCodeSize) {
          return Finish(in, out, DataFault::kBadBlock);
        }
        ++code_size;
      } else if (op == 2) {
        table->PartialClear();
      } else {
        return Finish(in, out, DataFault::kBadBlock);
      }
      continue;
    }

    // Decode into the stack back to front; the first byte ends up on top.
    size_t sp = 0;
    unsigned c = code;
    if (!table->in_use(code)) {
      // Only the code about to be defined may appear before its definition: it
      // is the previous string plus that string's first byte.
      if (table->free_next == table->free_count || code != table->free_list[table->free_next]) {
        return Finish(in, out, DataFault::kBadBlock);
      }
      stack[sp++] = prev_first;
      c = prev;
    }
    while (c >= kFirstFree) {
      if (sp == kCodes) {
        return Finish(in, out, DataFault::kStackOverflow);
      }
      if (!table->in_use(c)) {
        return Finish(in, out, DataFault::kBadBlock);
      }
      stack[sp++] = table->suffix[c];
      c = static_cast<unsigned>(table->prefix[c]);
    }
    uint8_t first_byte = static_cast<uint8_t>(c);
    if (!out.Put(first_byte)) {
      return Finish(in, out);
    }
    while (sp) {
      if (!out.Put(stack[--sp])) {
        return Finish(in, out);
      }
    }

    if (table->free_next < table->free_count) {
      unsigned fresh = table->free_list[table->free_next++];
      table->prefix[fresh] = static_cast<int32_t>(prev);
      table->suffix[fresh] = first_byte;
      if (prev >= kFirstFree) {
        ++table->uses[prev];
      }
    }
    prev = code;
    prev_first = first_byte;
  }
}

}  // namespace qm::zip::internal
