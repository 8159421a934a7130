// The zip of its own that the member path builds in Temp from the fetched
// members: their local records as fetched, one after the other, and a
// central directory made from the content index, so that the normal
// extractor installs them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "update/integrity_format.h"
#include "update/local_header.h"

namespace qm::update {

class MembersZip {
 public:
  bool Create(const std::string& path);
  // Appends one member's local record (header, data, descriptor) as bytes.
  bool AddRecord(const std::string& record);
  // Ends the member whose record was appended last (one or more AddRecord
  // calls): its central header from the index and its local header.
  void EndMember(const IndexEntry& entry, const LocalHeader& header);
  // Writes the central directory and the end record, and closes the file.
  bool Finish();

 private:
  platform::File file_;
  uint64_t offset_ = 0;         // where the next record starts
  uint64_t member_offset_ = 0;  // of the member being added
  std::string central_;
  uint32_t count_ = 0;
};

}  // namespace qm::update
