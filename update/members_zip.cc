#include "update/members_zip.h"

namespace qm::update {
namespace {

void Put16(std::string* s, uint16_t v) {
  s->push_back(static_cast<char>(v & 0xFF));
  s->push_back(static_cast<char>(v >> 8));
}
void Put32(std::string* s, uint32_t v) {
  Put16(s, static_cast<uint16_t>(v & 0xFFFF));
  Put16(s, static_cast<uint16_t>(v >> 16));
}

}  // namespace

bool MembersZip::Create(const std::string& path) {
  offset_ = 0;
  member_offset_ = 0;
  central_.clear();
  count_ = 0;
  return file_.Open(path, platform::File::Mode::kCreate);
}

bool MembersZip::AddRecord(const std::string& record) {
  if (!file_.Write(record.data(), record.size())) {
    return false;
  }
  offset_ += record.size();
  return true;
}

void MembersZip::EndMember(const IndexEntry& entry, const LocalHeader& header) {
  // The sizes fit 32 bits: HeaderProblem refuses members that do not.
  std::string& c = central_;
  Put32(&c, 0x02014b50);
  Put16(&c, 20);  // made by: MS-DOS, 2.0
  Put16(&c, header.version_needed);
  Put16(&c, header.flags);
  Put16(&c, header.method);
  Put16(&c, header.time);
  Put16(&c, header.date);
  Put32(&c, entry.crc);
  Put32(&c, static_cast<uint32_t>(entry.compressed_size));
  Put32(&c, static_cast<uint32_t>(entry.size));
  Put16(&c, static_cast<uint16_t>(entry.name.size()));
  Put16(&c, 0);     // extra
  Put16(&c, 0);     // comment
  Put16(&c, 0);     // disk
  Put16(&c, 0);     // internal attributes
  Put32(&c, 0x20);  // archive bit, as the publisher writes files
  Put32(&c, static_cast<uint32_t>(member_offset_));
  c += entry.name;
  ++count_;
  member_offset_ = offset_;
}

bool MembersZip::Finish() {
  std::string end;
  Put32(&end, 0x06054b50);
  Put16(&end, 0);
  Put16(&end, 0);
  Put16(&end, static_cast<uint16_t>(count_));
  Put16(&end, static_cast<uint16_t>(count_));
  Put32(&end, static_cast<uint32_t>(central_.size()));
  Put32(&end, static_cast<uint32_t>(offset_));
  Put16(&end, 0);
  const bool written =
      file_.Write(central_.data(), central_.size()) && file_.Write(end.data(), end.size());
  file_.Close();
  return written;
}

}  // namespace qm::update
