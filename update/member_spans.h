// Where the members of an archive lie, by its content index, and how the
// spans of the changed ones are fetched: neighbours coalesced, requests of
// bounded size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/integrity_format.h"

namespace qm::update {

// Spans closer than this are fetched as one: a request costs more than
// the bytes between them.
inline constexpr uint64_t kCoalesceGap = uint64_t{64} << 10;
// Bytes asked for in one request at most.
inline constexpr uint64_t kMaxRequestBytes = uint64_t{8} << 20;
// Room for a data descriptor (and slack) after the last member's data.
inline constexpr uint64_t kLastMemberSlack = uint64_t{64} << 10;
// The member path pays while the changed spans stay at or below this share
// of the archive (in percent).
inline constexpr uint64_t kMemberPathMaxPercent = 60;

// Below this size an archive is fetched whole: the index and the range
// requests would cost about what they save.
inline constexpr uint64_t kMinMemberPathArchive = uint64_t{1} << 20;

// [first, end) in the archive.
struct ByteSpan {
  uint64_t first = 0;
  uint64_t end = 0;
  uint64_t size() const { return end - first; }
  bool operator==(const ByteSpan&) const = default;
};

// A member's span: from its local header to the next member's local header
// in offset order; the last one's ends after its data plus the slack,
// within the archive. One per entry, in the entries' order; nullopt-like
// empty span for an entry whose offset lies outside the archive.
std::vector<ByteSpan> MemberSpans(const std::vector<IndexEntry>& entries, uint64_t archive_size);

// The spans sorted, those less than kCoalesceGap apart joined.
std::vector<ByteSpan> CoalesceSpans(std::vector<ByteSpan> spans);

// The requests that fetch spans (coalesced, sorted): each at most
// kMaxRequestBytes (a longer span is cut into pieces); with multi_range a
// request holds as many spans as fit, else one.
std::vector<std::vector<ByteSpan>> PlanRequests(const std::vector<ByteSpan>& spans,
                                                bool multi_range);

// The Range header's value for a request: "a-b,c-d".
std::string RangeSetText(const std::vector<ByteSpan>& spans);

}  // namespace qm::update
