#include "update/local_header.h"

namespace qm::update {
namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint64_t kMax32 = 0xFFFFFFFF;

uint16_t Get16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) |
                               (static_cast<uint8_t>(b[at + 1]) << 8));
}
uint32_t Get32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(Get16(b, at)) | (static_cast<uint32_t>(Get16(b, at + 2)) << 16);
}

}  // namespace

std::optional<LocalHeader> ParseLocalHeader(const std::string& bytes) {
  if (bytes.size() < kLocalHeaderSize || Get32(bytes, 0) != kLocalSignature) {
    return std::nullopt;
  }
  LocalHeader header;
  header.version_needed = Get16(bytes, 4);
  header.flags = Get16(bytes, 6);
  header.method = Get16(bytes, 8);
  header.time = Get16(bytes, 10);
  header.date = Get16(bytes, 12);
  header.crc = Get32(bytes, 14);
  header.compressed_size = Get32(bytes, 18);
  header.size = Get32(bytes, 22);
  const uint16_t name_size = Get16(bytes, 26);
  header.extra_size = Get16(bytes, 28);
  if (bytes.size() < kLocalHeaderSize + name_size) {
    return std::nullopt;
  }
  header.name = bytes.substr(kLocalHeaderSize, name_size);
  return header;
}

std::string HeaderProblem(const LocalHeader& header, const IndexEntry& entry) {
  if (entry.size >= kMax32 || entry.compressed_size >= kMax32 || entry.local_offset >= kMax32) {
    return "a member beyond 4 GiB";
  }
  if ((header.flags & 0x0001) != 0) {
    return "an encrypted member";
  }
  if (header.name != entry.name) {
    return "the local header names another member";
  }
  if (header.method != entry.method) {
    return "the local header gives another method";
  }
  if (!header.HasDescriptor() && (header.compressed_size != entry.compressed_size ||
                                  header.size != entry.size || header.crc != entry.crc)) {
    return "the local header gives other sizes";
  }
  return {};
}

uint64_t DescriptorSize(const LocalHeader& header, const std::string& first_four) {
  if (!header.HasDescriptor()) {
    return 0;
  }
  return first_four.size() == 4 && Get32(first_four, 0) == kDescriptorSignature ? 16 : 12;
}

}  // namespace qm::update
