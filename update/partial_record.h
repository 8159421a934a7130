// What identifies a partial archive in Temp: the record beside it
// (Temp\<name>.qmpart), written before its first byte is stored, so that a
// later attempt or a later run can tell whether the bytes kept still belong
// to the archive it needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qm::update {

inline constexpr char kPartialRecordSuffix[] = ".qmpart";

struct PartialRecord {
  std::string url;            // of the first source
  std::string key;            // ArchiveKey below the download base
  int64_t length = 0;         // the total the first reply announced
  std::string last_modified;  // as sent; may be empty
  std::string etag;
  std::string sha256;  // from the manifest's section H; may be empty

  bool operator==(const PartialRecord&) const = default;
};

// CR LF lines "Key=Value"; empty when a value cannot be written (a line
// end or control byte in it, or a length that is not positive).
std::string FormatPartialRecord(const PartialRecord& record);
// Absent when the text is no record of ours: an unknown version or key, a
// line too long, a repeated or missing key, a bad number or digest.
std::optional<PartialRecord> ParsePartialRecord(std::string_view text);

}  // namespace qm::update
