#include "update/byte_ranges.h"

#include <algorithm>
#include <optional>

#include "util/ascii.h"

namespace qm::update {
namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::optional<uint64_t> Decimal(std::string_view text) {
  if (text.empty() || text.size() > 18) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

std::string ByteRangesBoundary(const std::string& content_type) {
  const std::string lower = AsciiLowerCopy(content_type);
  const size_t semicolon = lower.find(';');
  if (Trimmed(std::string_view(lower).substr(0, semicolon)) != "multipart/byteranges" ||
      semicolon == std::string::npos) {
    return {};
  }
  size_t at = semicolon;
  while (at != std::string::npos) {
    const size_t start = at + 1;
    at = lower.find(';', start);
    const std::string_view parameter = Trimmed(
        std::string_view(content_type).substr(start, at == std::string::npos ? at : at - start));
    if (parameter.size() > 9 && AsciiLowerCopy(parameter.substr(0, 9)) == "boundary=") {
      std::string_view value = parameter.substr(9);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      // RFC 2046: 1 to 70 characters.
      if (value.empty() || value.size() > 70) {
        return {};
      }
      return std::string(value);
    }
  }
  return {};
}

bool ParseContentRange(const std::string& value, uint64_t* first, uint64_t* last, uint64_t* total) {
  const std::string_view text = Trimmed(value);
  if (text.size() < 6 || AsciiLowerCopy(text.substr(0, 6)) != "bytes ") {
    return false;
  }
  const std::string_view span = Trimmed(text.substr(6));
  const size_t dash = span.find('-');
  const size_t slash = span.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
    return false;
  }
  const auto a = Decimal(span.substr(0, dash));
  const auto b = Decimal(span.substr(dash + 1, slash - dash - 1));
  const auto t = Decimal(span.substr(slash + 1));
  if (!a || !b || !t || *b < *a || *b >= *t) {
    return false;
  }
  *first = *a;
  *last = *b;
  *total = *t;
  return true;
}

std::vector<RangePart> ParseByteRanges(const std::string& body, const std::string& boundary) {
  std::vector<RangePart> parts;
  if (boundary.empty()) {
    return parts;
  }
  const std::string delimiter = "--" + boundary;
  size_t at = body.find(delimiter);
  while (at != std::string::npos) {
    at += delimiter.size();
    if (body.compare(at, 2, "--") == 0) {
      break;  // the closing delimiter
    }
    const size_t line_end = body.find("\r\n", at);
    if (line_end == std::string::npos) {
      break;
    }
    // The part's header lines, up to the empty one.
    size_t line = line_end + 2;
    std::optional<RangePart> part;
    bool header_ended = false;
    while (line < body.size()) {
      const size_t end = body.find("\r\n", line);
      if (end == std::string::npos) {
        break;
      }
      if (end == line) {
        header_ended = true;
        line = end + 2;
        break;
      }
      const std::string_view header(body.data() + line, end - line);
      const size_t colon = header.find(':');
      if (colon != std::string_view::npos &&
          AsciiLowerCopy(Trimmed(header.substr(0, colon))) == "content-range") {
        uint64_t first = 0;
        uint64_t last = 0;
        uint64_t total = 0;
        if (ParseContentRange(std::string(header.substr(colon + 1)), &first, &last, &total)) {
          part = RangePart{first, total, 0, static_cast<size_t>(last - first + 1)};
        }
      }
      line = end + 2;
    }
    if (!header_ended || !part) {
      break;
    }
    part->at = line;
    const size_t available = body.size() - line;
    const bool whole = part->size <= available;
    part->size = std::min(part->size, available);
    parts.push_back(*part);
    if (!whole) {
      break;
    }
    at = body.find(delimiter, line + part->size);
  }
  return parts;
}

}  // namespace qm::update
