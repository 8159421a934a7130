// The zip records as the extractor reads them (little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qm::zip {

// The plain signatures ("PK" and two numbers), as little-endian words.
inline constexpr uint32_t kLocalSignature = 0x04034b50;
inline constexpr uint32_t kCentralSignature = 0x02014b50;
inline constexpr uint32_t kEndSignature = 0x06054b50;

inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralHeaderSize = 46;
inline constexpr size_t kEndRecordSize = 22;
inline constexpr size_t kExtendedEndRecordSize = 26;
inline constexpr size_t kZip64LocatorSize = 20;
inline constexpr size_t kZip64EndRecordSize = 56;
// Only this much of a stored name is kept.
inline constexpr size_t kMaxNameLength = 255;

enum class RecordKind { kNone, kLocal, kCentral, kEnd, kExtendedEnd };

struct Signature {
  RecordKind kind = RecordKind::kNone;
  bool header_encrypted = false;
};

// Recognises the plain and header-encrypted signature forms at p[0..3].
Signature ParseSignature(const uint8_t* p);
bool IsLocalSignature(const uint8_t* p);
bool IsCentralSignature(const uint8_t* p);

// Bytes after the signature that a header-encrypted record encrypts.
size_t EncryptedHeaderBytes(RecordKind kind);

inline uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) {
  return Le32(p) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8 = 0x0800;

struct LocalHeader {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dos_time = 0;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
};

struct CentralHeader {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dos_time = 0;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint16_t name_length = 0;
  uint16_t extra_length = 0;
  uint16_t comment_length = 0;
  uint32_t disk_start = 0;
  uint32_t external_attributes = 0;
  uint64_t local_offset = 0;
};

// p holds the whole (decrypted) fixed part of the record.
LocalHeader ParseLocalHeader(const uint8_t* p);
CentralHeader ParseCentralHeader(const uint8_t* p);

// Applies the size extensions of an extra field: the zip64 block (0x0001),
// whose fields are present only for the values saturated at 0xFFFFFFFF, and
// the 0x0064 block with the high 16 bits of the sizes (and, in a central
// header, of the local offset: only archives with the extended end record
// reach that far). Malformed blocks end the walk quietly.
void ApplyLocalExtra(const std::string& extra, LocalHeader* header);
void ApplyCentralExtra(const std::string& extra, bool extended_end, CentralHeader* header);

}  // namespace qm::zip
