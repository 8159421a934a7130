#include "update/integrity_format.h"

#include <cstdio>
#include <stdexcept>

#include "util/hex.h"

namespace qm::update {
namespace {

constexpr char kIndexHeader[] = "QMIDX 1";
constexpr char kSignatureKey[] = "ECDSA-P256-SHA256=";

std::optional<uint64_t> ParseDecimal(const std::string& text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoull(text);
}

bool IsLowerHex(const std::string& text, size_t digits) {
  return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Fields of a line split at every separator, empty ones kept.
std::vector<std::string> Fields(const std::string& line, char separator) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == separator) {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

// CR LF lines; a text that does not end in CR LF has a damaged last line.
std::optional<std::vector<std::string>> CrLfLines(const std::string& text) {
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
    return std::nullopt;
  }
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find("\r\n", at);
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  for (const std::string& line : lines) {
    if (line.find_first_of("\r\n") != std::string::npos) {
      return std::nullopt;
    }
  }
  return lines;
}

}  // namespace

std::string HashLineValue(const ArchiveHash& hash) {
  return std::to_string(hash.size) + "," + hash.sha256 + "," + hash.index_sha256;
}

std::optional<ArchiveHash> ParseHashLine(const std::string& value) {
  const std::vector<std::string> fields = Fields(value, ',');
  if (fields.size() != 3 || !IsLowerHex(fields[1], 64) || !IsLowerHex(fields[2], 64)) {
    return std::nullopt;
  }
  const std::optional<uint64_t> size = ParseDecimal(fields[0], 19);
  if (!size) {
    return std::nullopt;
  }
  return ArchiveHash{*size, fields[1], fields[2]};
}

std::string ArchiveKey(const std::string& download_base, const std::string& url) {
  if (url.size() > download_base.size() &&
      url.compare(0, download_base.size(), download_base) == 0) {
    return url.substr(download_base.size());
  }
  return url;
}

std::optional<uint64_t> ParseSerial(const std::string& text) {
  const std::optional<uint64_t> serial = ParseDecimal(text, 18);
  if (!serial || *serial == 0) {
    return std::nullopt;
  }
  return serial;
}

bool IndexableName(const std::string& name) {
  return !name.empty() && name.find_first_of("\t\r\n") == std::string::npos;
}

std::string IndexText(const std::vector<IndexEntry>& entries) {
  std::string text = std::string(kIndexHeader) + "\r\n";
  for (const IndexEntry& e : entries) {
    char crc[9];
    std::snprintf(crc, sizeof(crc), "%08x", e.crc);
    text += e.name + "\t" + std::to_string(e.size) + "\t" + crc + "\t" + e.sha256 + "\t" +
            std::to_string(e.method) + "\t" + std::to_string(e.compressed_size) + "\t" +
            std::to_string(e.local_offset) + "\r\n";
  }
  return text;
}

std::vector<IndexEntry> ParseIndex(const std::string& text) {
  const std::optional<std::vector<std::string>> lines = CrLfLines(text);
  if (!lines || lines->front() != kIndexHeader) {
    throw std::runtime_error("not a content index (\"QMIDX 1\" and CR LF lines)");
  }
  std::vector<IndexEntry> entries;
  for (size_t i = 1; i < lines->size(); ++i) {
    const std::vector<std::string> fields = Fields((*lines)[i], '\t');
    const auto size = fields.size() == 7 ? ParseDecimal(fields[1], 19) : std::nullopt;
    const auto method = fields.size() == 7 ? ParseDecimal(fields[4], 5) : std::nullopt;
    const auto compressed = fields.size() == 7 ? ParseDecimal(fields[5], 19) : std::nullopt;
    const auto offset = fields.size() == 7 ? ParseDecimal(fields[6], 19) : std::nullopt;
    uint8_t crc[4];
    if (!size || !method || *method > 0xFFFF || !compressed || !offset || fields[0].empty() ||
        !IsLowerHex(fields[2], 8) || !ParseHex(fields[2], crc, 4) || !IsLowerHex(fields[3], 64)) {
      throw std::runtime_error("line " + std::to_string(i + 1) +
                               " of the content index is malformed");
    }
    IndexEntry entry;
    entry.name = fields[0];
    entry.size = *size;
    entry.crc =
        (uint32_t{crc[0]} << 24) | (uint32_t{crc[1]} << 16) | (uint32_t{crc[2]} << 8) | crc[3];
    entry.sha256 = fields[3];
    entry.method = static_cast<uint16_t>(*method);
    entry.compressed_size = *compressed;
    entry.local_offset = *offset;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string SignatureText(const ManifestSignature& signature) {
  return std::string(kSerialKey) + "=" + std::to_string(signature.serial) + "\r\n" + kSignatureKey +
         HexOf(signature.signature) + "\r\n";
}

std::optional<ManifestSignature> ParseSignature(const std::string& text) {
  const std::optional<std::vector<std::string>> lines = CrLfLines(text);
  const std::string serial_prefix = std::string(kSerialKey) + "=";
  if (!lines || lines->size() != 2 || (*lines)[0].rfind(serial_prefix, 0) != 0 ||
      (*lines)[1].rfind(kSignatureKey, 0) != 0) {
    return std::nullopt;
  }
  const std::optional<uint64_t> serial = ParseSerial((*lines)[0].substr(serial_prefix.size()));
  const auto raw = ParseHexArray<64>((*lines)[1].substr(sizeof(kSignatureKey) - 1));
  if (!serial || !raw) {
    return std::nullopt;
  }
  return ManifestSignature{*serial, *raw};
}

}  // namespace qm::update
