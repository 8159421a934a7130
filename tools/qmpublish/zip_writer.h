// Writes zip archives that the updater's extractor and Info-ZIP both read:
// Deflate (libdeflate) or stored members, names in code page 949, no
// extra fields, and bytes that depend only on the members' names and
// content (one fixed time stamp, fixed attributes, members in name order).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "update/integrity_format.h"

namespace qm::publish {

struct ZipSource {
  std::string stored_name;     // code page 949, "/" separators; a folder ends in "/"
  std::filesystem::path file;  // empty for a folder
  uint64_t size = 0;
  bool executable = false;  // kept as a Unix mode, so that an install on Unix can run it
};

struct ZipOptions {
  int level = 12;  // libdeflate level, 1 .. 12
  int jobs = 2;    // members compressed at once
  // Called after each member with the bytes of input done so far.
  std::function<void(uint64_t done)> progress;
};

// Every member of an archive stays below this, and so does the archive: the
// format's 32-bit fields end there and the updater reads no Zip64 records.
inline constexpr uint64_t kMaxZipSize = 0xFFFFFFFEull;
inline constexpr size_t kMaxZipEntries = 0xFFFF;

// What was written: the archive's size and SHA-256, taken from the bytes as
// they were written, and its members as its content index lists them.
struct WrittenZip {
  uint64_t size = 0;
  std::string sha256;
  std::vector<update::IndexEntry> index;
};

// Writes the archive beside path and moves it into place once complete.
// Raises PublishError, also for a member name that the index cannot hold.
WrittenZip WriteZip(const std::filesystem::path& path,
                    std::vector<ZipSource> entries,
                    const ZipOptions& options);

// 2000-01-01 00:00:00 as a DOS date and time: what every member carries.
inline constexpr uint16_t kFixedDosDate = (20 << 9) | (1 << 5) | 1;
inline constexpr uint16_t kFixedDosTime = 0;

}  // namespace qm::publish
