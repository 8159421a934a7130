// A member's local header as fetched from the middle of an archive, and its
// check against what the content index says of the member.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "update/integrity_format.h"

namespace qm::update {

inline constexpr size_t kLocalHeaderSize = 30;

struct LocalHeader {
  uint16_t version_needed = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t size = 0;
  std::string name;
  uint16_t extra_size = 0;

  // Bytes from the signature to the member's data.
  uint64_t HeaderSize() const { return kLocalHeaderSize + name.size() + extra_size; }
  bool HasDescriptor() const { return (flags & 0x0008) != 0; }
};

// The header at the start of bytes (its fixed part and name at least);
// nullopt when it is none.
std::optional<LocalHeader> ParseLocalHeader(const std::string& bytes);

// Empty when the header describes the member the index names; else why not.
// Archives beyond the 32-bit fields are not handled member by member.
std::string HeaderProblem(const LocalHeader& header, const IndexEntry& entry);

// Bytes of the data descriptor that follows the data, given its first four
// bytes (with or without its optional signature); 0 without one.
uint64_t DescriptorSize(const LocalHeader& header, const std::string& first_four);

}  // namespace qm::update
