// The walks over an archive's records: by its central directory, or by its
// local headers when it has no usable directory. They list the members that
// the observer selects, each with where its data starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zip/archive_source.h"
#include "zip/recognition.h"

namespace qm::zip {

struct MemberEntry {
  std::string raw_name;  // the first 255 bytes of the stored name, decrypted
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dos_time = 0;         // the local header's
  uint32_t crc = 0;              // expected CRC-32
  uint64_t compressed_size = 0;  // including an encryption header
  uint64_t uncompressed_size = 0;
  uint32_t external_attributes = 0;
  uint64_t local_offset = 0;  // with the archive offset adjustment
  uint64_t data_offset = 0;
  bool from_central = false;
};

class CatalogObserver {
 public:
  virtual ~CatalogObserver() = default;
  virtual bool Select(const std::string& raw_name, uint16_t flags) { return true; }
  // A selected directory entry whose local header is missing or unreadable.
  virtual void BadHeader(const std::string& raw_name, uint16_t flags) {}
  virtual bool Cancelled() { return false; }
};

struct Catalog {
  std::vector<MemberEntry> members;
  bool by_local_headers = false;
  uint64_t entries_walked = 0;  // entries seen, selected or not
  // The records ended before the archive said they would (truncated or
  // damaged directory, a data descriptor that cannot be found).
  bool damaged = false;
  // The archive has more entries than the walk may list; it stopped there.
  bool too_many = false;
  // Where the central directory lies; empty for a walk by local headers.
  uint64_t directory_begin = 0;
  uint64_t directory_end = 0;
};

// max_entries: the walk stops past this many entries (0: no limit).
Catalog ReadCatalog(ArchiveSource& source,
                    const Recognition& recognition,
                    CatalogObserver& observer,
                    uint64_t max_entries = 0);

// Whether the records of two members (local header and data) share bytes, or
// a member's reach into the central directory. Real archivers never write
// that; an archive made so expands the same bytes many times over.
bool MembersOverlap(const Catalog& catalog);

// Finds the data descriptor that follows a member of unknown size whose data
// starts at data_offset: its signature, then a compressed size equal to its
// distance from data_offset. Fills the sizes and CRC and the descriptor's
// length; false when there is none.
bool FindDataDescriptor(ArchiveSource& source,
                        uint64_t data_offset,
                        MemberEntry* entry,
                        uint64_t* descriptor_length);

}  // namespace qm::zip
