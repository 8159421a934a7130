// The byte spans of an archive that the member path fetches, kept in one
// file in Temp (the spans back to back) as they arrive, in whatever order
// and pieces the replies bring them; what is still missing is asked for
// again, so a cut reply costs only what it did not bring.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "update/member_spans.h"

namespace qm::update {

class SpanStore {
 public:
  // spans: coalesced and sorted (CoalesceSpans).
  SpanStore(std::string path, const std::vector<ByteSpan>& spans);
  ~SpanStore();
  SpanStore(const SpanStore&) = delete;
  SpanStore& operator=(const SpanStore&) = delete;

  bool Open();
  // Stores bytes that start at archive offset first, where they continue a
  // span; bytes already held or outside the spans are passed over. The
  // number of new bytes stored, or -1 when the file could not be written.
  int64_t Accept(uint64_t first, const char* data, size_t size);
  // What is still missing, sorted.
  std::vector<ByteSpan> Missing() const;
  bool Complete() const { return Missing().empty(); }
  // size bytes from archive offset first, all held; false otherwise.
  bool Read(uint64_t first, size_t size, std::string* bytes);
  uint64_t held() const;

 private:
  struct Slot {
    ByteSpan span;
    uint64_t file_offset = 0;  // of the span's first byte in the file
    uint64_t have = 0;         // bytes held from its start on
  };
  std::string path_;
  std::vector<Slot> slots_;
  platform::File file_;
};

}  // namespace qm::update
