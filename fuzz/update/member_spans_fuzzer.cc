// Content indexes (after the parser's checks) and local headers on
// arbitrary bytes: member spans stay inside the archive, the coalesced
// spans cover every member's span, requests stay within their bound, and
// the local header's reader never reads past its bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "update/integrity_format.h"
#include "update/local_header.h"
#include "update/member_spans.h"

namespace {

void CheckSpans(const std::vector<qm::update::IndexEntry>& entries, uint64_t archive_size) {
  using qm::update::ByteSpan;
  const std::vector<ByteSpan> spans = qm::update::MemberSpans(entries, archive_size);
  if (spans.size() != entries.size()) {
    std::abort();
  }
  for (const ByteSpan& span : spans) {
    if (span.end < span.first || span.end > archive_size) {
      std::abort();
    }
  }
  const std::vector<ByteSpan> joined = qm::update::CoalesceSpans(spans);
  for (const ByteSpan& span : spans) {
    if (span.size() == 0) {
      continue;
    }
    bool covered = false;
    for (const ByteSpan& j : joined) {
      covered = covered || (j.first <= span.first && span.end <= j.end);
    }
    if (!covered) {
      std::abort();
    }
  }
  for (bool multi : {true, false}) {
    uint64_t asked = 0;
    for (const auto& request : qm::update::PlanRequests(joined, multi)) {
      uint64_t bytes = 0;
      for (const ByteSpan& s : request) {
        bytes += s.size();
      }
      if (request.empty() || bytes > qm::update::kMaxRequestBytes ||
          (!multi && request.size() != 1)) {
        std::abort();
      }
      asked += bytes;
    }
    uint64_t wanted = 0;
    for (const ByteSpan& j : joined) {
      wanted += j.size();
    }
    if (asked != wanted) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto header = qm::update::ParseLocalHeader(text)) {
    if (header->name.size() + qm::update::kLocalHeaderSize > text.size()) {
      std::abort();
    }
  }
  try {
    const std::vector<qm::update::IndexEntry> entries = qm::update::ParseIndex(text);
    CheckSpans(entries, size * 1000 + 1);
    CheckSpans(entries, 64);
  } catch (const std::exception&) {
    // Refused: the launcher fetches the whole archive.
  }
  return 0;
}
