// The parts of a multipart/byteranges reply (RFC 9110, 14.6), read from a
// body that may have been cut short: the parts that arrived, the last one
// possibly shorter than its Content-Range says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::update {

struct RangePart {
  uint64_t first = 0;  // the first byte's offset in the document
  uint64_t total = 0;  // the document's length as the part gives it
  size_t at = 0;       // where the part's bytes start in the body
  size_t size = 0;     // bytes of it in the body (fewer when cut short)
  bool operator==(const RangePart&) const = default;
};

// The boundary that a Content-Type value (as sent: the boundary's case
// matters) names for multipart/byteranges; empty for any other type.
std::string ByteRangesBoundary(const std::string& content_type);

// The parts of body, in order, up to the first that does not read.
std::vector<RangePart> ParseByteRanges(const std::string& body, const std::string& boundary);

// "bytes first-last/total" (a Content-Range value); false when it does not
// read or gives no total.
bool ParseContentRange(const std::string& value, uint64_t* first, uint64_t* last, uint64_t* total);

}  // namespace qm::update
