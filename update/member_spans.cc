#include "update/member_spans.h"

#include <algorithm>
#include <numeric>
#include <string>

namespace qm::update {

std::vector<ByteSpan> MemberSpans(const std::vector<IndexEntry>& entries, uint64_t archive_size) {
  std::vector<size_t> order(entries.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return entries[a].local_offset < entries[b].local_offset;
  });
  std::vector<ByteSpan> spans(entries.size());
  for (size_t k = 0; k < order.size(); ++k) {
    const IndexEntry& entry = entries[order[k]];
    if (entry.local_offset >= archive_size) {
      continue;  // left empty: no bytes of the archive describe it
    }
    uint64_t end = archive_size;
    // The next member that starts further on; a duplicate offset shares.
    for (size_t next = k + 1; next < order.size(); ++next) {
      if (entries[order[next]].local_offset > entry.local_offset) {
        end = std::min(end, entries[order[next]].local_offset);
        break;
      }
    }
    if (end == archive_size) {
      const uint64_t wanted = uint64_t{30} + entry.name.size() + entry.compressed_size;
      const uint64_t room = archive_size - entry.local_offset;
      end = entry.local_offset + std::min(room, std::min(wanted, room) + kLastMemberSlack);
    }
    spans[order[k]] = {entry.local_offset, end};
  }
  return spans;
}

std::vector<ByteSpan> CoalesceSpans(std::vector<ByteSpan> spans) {
  std::erase_if(spans, [](const ByteSpan& s) { return s.end <= s.first; });
  std::sort(spans.begin(), spans.end(),
            [](const ByteSpan& a, const ByteSpan& b) { return a.first < b.first; });
  std::vector<ByteSpan> joined;
  for (const ByteSpan& span : spans) {
    if (!joined.empty() && span.first < joined.back().end + kCoalesceGap) {
      joined.back().end = std::max(joined.back().end, span.end);
    } else {
      joined.push_back(span);
    }
  }
  return joined;
}

std::vector<std::vector<ByteSpan>> PlanRequests(const std::vector<ByteSpan>& spans,
                                                bool multi_range) {
  std::vector<std::vector<ByteSpan>> requests;
  uint64_t in_request = 0;
  for (const ByteSpan& span : spans) {
    for (uint64_t at = span.first; at < span.end;) {
      const uint64_t end = std::min(span.end, at + kMaxRequestBytes);
      const ByteSpan piece{at, end};
      if (requests.empty() || !multi_range || in_request + piece.size() > kMaxRequestBytes) {
        requests.emplace_back();
        in_request = 0;
      }
      requests.back().push_back(piece);
      in_request += piece.size();
      at = end;
    }
  }
  return requests;
}

std::string RangeSetText(const std::vector<ByteSpan>& spans) {
  std::string text;
  for (const ByteSpan& span : spans) {
    if (!text.empty()) {
      text += ",";
    }
    text += std::to_string(span.first) + "-" + std::to_string(span.end - 1);
  }
  return text;
}

}  // namespace qm::update
