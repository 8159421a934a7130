// multipart/byteranges bodies and Content-Range values on arbitrary bytes:
// every part read lies inside the body and its span inside the document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/byte_ranges.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // The first line is the Content-Type, the rest the body.
  const size_t newline = input.find('\n');
  const std::string content_type = input.substr(0, newline);
  const std::string body = newline == std::string::npos ? std::string() : input.substr(newline + 1);
  const std::string boundary = qm::update::ByteRangesBoundary(content_type);
  for (const qm::update::RangePart& part :
       qm::update::ParseByteRanges(body, boundary.empty() ? "B" : boundary)) {
    if (part.at > body.size() || part.size > body.size() - part.at || part.first >= part.total ||
        part.size > part.total - part.first) {
      std::abort();
    }
  }
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t total = 0;
  if (qm::update::ParseContentRange(content_type, &first, &last, &total) &&
      (first > last || last >= total)) {
    std::abort();
  }
  return 0;
}
