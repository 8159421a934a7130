// The integrity files that a publication carries beside the manifest and
// its archives: the per-archive lines of section H, the content index of an
// archive (<archive>.idx) and the manifest's signature (QuillMar.ini.sig).
// docs/integrity.md describes each format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ecdsa.h"

namespace qm::update {

inline constexpr char kHashSection[] = "H";
inline constexpr char kSerialKey[] = "Serial";
inline constexpr char kSignatureFile[] = "QuillMar.ini.sig";
inline constexpr char kIndexSuffix[] = ".idx";

// The value of an archive's line in section H.
struct ArchiveHash {
  uint64_t size = 0;
  std::string sha256;        // of the archive, 64 lower-case hex digits
  std::string index_sha256;  // of its .idx file
};
std::string HashLineValue(const ArchiveHash& hash);
std::optional<ArchiveHash> ParseHashLine(const std::string& value);

// The key of an archive's line: its URL below the download base; an archive
// at an engine base of its own (an absolute URL) is keyed by its whole URL.
std::string ArchiveKey(const std::string& download_base, const std::string& url);

// A decimal serial of 1 to 18 digits, above 0.
std::optional<uint64_t> ParseSerial(const std::string& text);

// One member of an archive as its content index describes it.
struct IndexEntry {
  std::string name;  // as stored: code page 949 bytes, "/" separators
  uint64_t size = 0;
  uint32_t crc = 0;
  std::string sha256;  // of the uncompressed content, lower-case hex
  uint16_t method = 0;
  uint64_t compressed_size = 0;
  uint64_t local_offset = 0;  // of the member's local header

  bool operator==(const IndexEntry&) const = default;
};
// Names holding a tab, CR or LF cannot be written: the caller refuses them.
bool IndexableName(const std::string& name);
std::string IndexText(const std::vector<IndexEntry>& entries);
// Raises std::runtime_error naming the line that is malformed.
std::vector<IndexEntry> ParseIndex(const std::string& text);

// QuillMar.ini.sig.
struct ManifestSignature {
  uint64_t serial = 0;
  platform::EcdsaP256Signature signature{};
};
std::string SignatureText(const ManifestSignature& signature);
std::optional<ManifestSignature> ParseSignature(const std::string& text);

}  // namespace qm::update
