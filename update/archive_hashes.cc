#include "update/archive_hashes.h"

#include <optional>

#include "update/integrity_format.h"
#include "util/hex.h"

namespace qm::update {

ArchiveHashes::ArchiveHashes(const StringList& lines, bool required) : required_(required) {
  for (const std::string& line : lines) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0) {
      continue;
    }
    lines_[line.substr(0, equals)] = R_Trim(line.substr(equals + 1));
  }
}

std::string ArchiveHashes::Sha256(const std::string& key) const {
  const auto line = lines_.find(key);
  if (line == lines_.end()) {
    return {};
  }
  const std::optional<ArchiveHash> expected = ParseHashLine(line->second);
  return expected ? expected->sha256 : std::string();
}

std::string ArchiveHashes::Problem(const std::string& key,
                                   uint64_t size,
                                   const platform::Sha256Digest& digest) const {
  const auto line = lines_.find(key);
  if (line == lines_.end()) {
    return required_ ? "the signed manifest lists no size and SHA-256 for this archive"
                     : std::string();
  }
  const std::optional<ArchiveHash> expected = ParseHashLine(line->second);
  if (!expected) {
    return "its line in the manifest's section H is malformed";
  }
  if (size != expected->size) {
    return "the archive does not match the manifest: " + std::to_string(size) +
           " bytes received, " + std::to_string(expected->size) + " expected";
  }
  if (HexOf(digest) != expected->sha256) {
    return "the archive does not match the manifest: its SHA-256 differs";
  }
  return {};
}

}  // namespace qm::update
