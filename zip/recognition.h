// Recognition of an archive: its type, which zip structures it has, where the
// walk starts and how far the zip data is shifted inside the file.
#pragma once

#include <cstdint>
#include <string>

#include "zip/archive_source.h"
#include "zip/zip_types.h"

namespace qm::zip {

struct EndRecord {
  bool found = false;
  bool extended = false;  // the 26-byte form with an 8-byte directory offset
  bool zip64 = false;     // values taken from a zip64 end record
  uint64_t position = 0;  // where the (32-bit) end record stands
  uint32_t this_disk = 0;
  uint32_t directory_disk = 0;
  uint64_t total_entries = 0;
  uint64_t directory_size = 0;
  uint64_t directory_offset = 0;
  // Where the central directory should end: the end record, or the zip64 end
  // record in front of it.
  uint64_t directory_end = 0;
};

struct Recognition {
  TArcType type = TArcType::atNA;
  THeaderTypeState state;
  int64_t first_position = -1;  // central directory, or first local header
  int64_t adjustment = 0;       // bytes in front of the zip data
  EndRecord end;
  uint64_t archive_size = 0;
};

// Files of at most this many bytes are not recognised at all.
inline constexpr uint64_t kMinArchiveSize = 20;

// name is used only for its extension (".jar", ".tgz").
Recognition RecognizeArchive(ArchiveSource& source, const std::string& name);

// The zip structures alone, as the zip types need them.
void FindZipStructures(ArchiveSource& source, Recognition* result);

bool IsZipType(TArcType type);

}  // namespace qm::zip
