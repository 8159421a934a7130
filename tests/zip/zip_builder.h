// Writes small zip archives in memory, record by record, so that tests can
// shape exactly the structure whose handling they check.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qm::zip::testing {

uint32_t TestCrc32(const std::string& data);

struct BuildMember {
  std::string name;
  std::string data;  // stored as is (method 0) unless method says otherwise
  uint16_t method = 0;
  uint16_t flags = 0;
  uint32_t attributes = 0x20;
  uint32_t dos_time = 0x5A8B6000;  // 2025-04-11 12:00
  // Sizes and CRC in a data descriptor after the data, zero in the header.
  bool descriptor = false;
  // Encrypts the local and central headers and the name (signature "PL"/"PN").
  bool header_encrypted = false;
  // The fields below are initialised explicitly: callers built with
  // -Wmissing-field-initializers may leave them out.
  // Compressed data: the content it stands for gives the CRC and the size.
  std::optional<std::string> plain = {};
  // Encrypts the data with the traditional encryption behind a 12-byte header.
  std::string password = {};
  // Appended to the central header's extra field.
  std::string central_extra = {};
};

struct BuildOptions {
  std::string prefix;          // bytes in front of the archive
  bool adjust_offsets = true;  // offsets count from the file's start
  bool zip64 = false;          // zip64 extra fields and end records
  bool write_central = true;
  bool write_end = true;
  std::string comment;
};

std::string BuildZip(const std::vector<BuildMember>& members, const BuildOptions& options = {});

// Offsets of the records in the last archive built, for patching.
struct BuildLayout {
  std::vector<size_t> local_offsets;
  std::vector<size_t> central_offsets;
  size_t end_offset = 0;
};
const BuildLayout& LastLayout();

// Values of the given widths packed low bits first, as the legacy methods
// and Deflate read them.
std::string PackBits(std::initializer_list<std::pair<uint32_t, unsigned>> values);

void Put16(std::string* s, size_t at, uint16_t v);
void Put32(std::string* s, size_t at, uint32_t v);

}  // namespace qm::zip::testing
