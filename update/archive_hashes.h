// The sizes and SHA-256 digests that a manifest's section H lists for its
// archives, and the check of a received archive against them. The digest is
// taken while the archive is received, so the check costs no second read.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/sha256.h"
#include "util/string_helpers.h"

namespace qm::update {

class ArchiveHashes {
 public:
  ArchiveHashes() = default;
  // lines: the "key=value" lines of section H. required: every archive
  // must have a line (a signed manifest, whose signature covers them).
  ArchiveHashes(const StringList& lines, bool required);

  // Whether an archive of this key is checked at all.
  bool Checks(const std::string& key) const { return required_ || lines_.count(key) != 0; }
  // The SHA-256 (lower-case hex) that the line of key gives; empty without
  // a readable line.
  std::string Sha256(const std::string& key) const;
  // Empty when the archive received under key matches its line; else why
  // it does not.
  std::string Problem(const std::string& key,
                      uint64_t size,
                      const platform::Sha256Digest& digest) const;

 private:
  std::map<std::string, std::string> lines_;
  bool required_ = false;
};

}  // namespace qm::update
