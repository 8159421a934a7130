#include "update/partial_record.h"

#include <algorithm>
#include <set>

namespace qm::update {
namespace {

constexpr std::string_view kVersion = "1";
// A URL or validator longer than this is no record of ours.
constexpr size_t kMaxLine = 2048;

bool Writable(const std::string& value) {
  return value.size() < kMaxLine - 16 && std::none_of(value.begin(), value.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte < 0x20 || byte == 0x7f;
         });
}

bool IsSha256Text(std::string_view text) {
  return text.empty() || (text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
                            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                          }));
}

std::optional<int64_t> ParseLength(std::string_view text) {
  if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) {
    return std::nullopt;
  }
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  return value > 0 ? std::optional<int64_t>(value) : std::nullopt;
}

}  // namespace

std::string FormatPartialRecord(const PartialRecord& r) {
  if (r.length <= 0 || !Writable(r.url) || !Writable(r.key) || !Writable(r.last_modified) ||
      !Writable(r.etag) || !IsSha256Text(r.sha256)) {
    return {};
  }
  std::string text;
  text.append("Version=").append(kVersion).append("\r\n");
  text.append("Url=").append(r.url).append("\r\n");
  text.append("Key=").append(r.key).append("\r\n");
  text.append("Length=").append(std::to_string(r.length)).append("\r\n");
  text.append("LastModified=").append(r.last_modified).append("\r\n");
  text.append("ETag=").append(r.etag).append("\r\n");
  text.append("Sha256=").append(r.sha256).append("\r\n");
  return text;
}

std::optional<PartialRecord> ParsePartialRecord(std::string_view text) {
  PartialRecord record;
  std::set<std::string_view> seen;
  bool has_length = false;
  while (!text.empty()) {
    const size_t end = text.find("\r\n");
    if (end == std::string_view::npos || end > kMaxLine) {
      return std::nullopt;  // a line too long, or the last one cut short
    }
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 2);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      return std::nullopt;
    }
    const std::string_view name = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    if (!seen.insert(name).second) {
      return std::nullopt;
    }
    if (name == "Version") {
      if (value != kVersion) {
        return std::nullopt;
      }
    } else if (name == "Url") {
      record.url = value;
    } else if (name == "Key") {
      record.key = value;
    } else if (name == "Length") {
      const std::optional<int64_t> length = ParseLength(value);
      if (!length) {
        return std::nullopt;
      }
      record.length = *length;
      has_length = true;
    } else if (name == "LastModified") {
      record.last_modified = value;
    } else if (name == "ETag") {
      record.etag = value;
    } else if (name == "Sha256") {
      if (!IsSha256Text(value)) {
        return std::nullopt;
      }
      record.sha256 = value;
    } else {
      return std::nullopt;
    }
  }
  if (seen.count("Version") == 0 || record.url.empty() || record.key.empty() || !has_length) {
    return std::nullopt;
  }
  return record;
}

}  // namespace qm::update
