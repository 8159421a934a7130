#include "zip/zip_records.h"

namespace qm::zip {

Signature ParseSignature(const uint8_t* p) {
  Signature s;
  if (p[0] != 'P') {
    return s;
  }
  uint8_t second = p[1];
  if (p[2] == 3 && p[3] == 4) {
    s.kind = RecordKind::kLocal;
  } else if (p[2] == 1 && p[3] == 2) {
    s.kind = RecordKind::kCentral;
  } else if (p[2] == 5 && p[3] == 6) {
    s.kind = RecordKind::kEnd;
  } else {
    return s;
  }
  if (s.kind == RecordKind::kEnd) {
    switch (second) {
      case 'K':
        return s;
      case 'L':
        s.header_encrypted = true;
        return s;
      case '[':
        s.kind = RecordKind::kExtendedEnd;
        return s;
      case '\\':
        s.kind = RecordKind::kExtendedEnd;
        s.header_encrypted = true;
        return s;
      default:
        return Signature();
    }
  }
  switch (second) {
    case 'K':
    case 'M':
      return s;
    case 'L':
    case 'N':
      s.header_encrypted = true;
      return s;
    default:
      return Signature();
  }
}

bool IsLocalSignature(const uint8_t* p) {
  return ParseSignature(p).kind == RecordKind::kLocal;
}

bool IsCentralSignature(const uint8_t* p) {
  return ParseSignature(p).kind == RecordKind::kCentral;
}

size_t EncryptedHeaderBytes(RecordKind kind) {
  switch (kind) {
    case RecordKind::kLocal:
      return kLocalHeaderSize - 4;
    case RecordKind::kCentral:
      return kCentralHeaderSize - 4;
    case RecordKind::kEnd:
      return kEndRecordSize - 4;
    case RecordKind::kExtendedEnd:
      return kExtendedEndRecordSize - 4;
    case RecordKind::kNone:
      break;
  }
  return 0;
}

LocalHeader ParseLocalHeader(const uint8_t* p) {
  LocalHeader h;
  h.flags = Le16(p + 6);
  h.method = Le16(p + 8);
  h.dos_time = Le32(p + 10);
  h.crc = Le32(p + 14);
  h.compressed_size = Le32(p + 18);
  h.uncompressed_size = Le32(p + 22);
  h.name_length = Le16(p + 26);
  h.extra_length = Le16(p + 28);
  return h;
}

CentralHeader ParseCentralHeader(const uint8_t* p) {
  CentralHeader h;
  h.flags = Le16(p + 8);
  h.method = Le16(p + 10);
  h.dos_time = Le32(p + 12);
  h.crc = Le32(p + 16);
  h.compressed_size = Le32(p + 20);
  h.uncompressed_size = Le32(p + 24);
  h.name_length = Le16(p + 28);
  h.extra_length = Le16(p + 30);
  h.comment_length = Le16(p + 32);
  h.disk_start = Le16(p + 34);
  h.external_attributes = Le32(p + 38);
  h.local_offset = Le32(p + 42);
  return h;
}

namespace {

constexpr uint32_t kSaturated32 = 0xFFFFFFFF;

// Calls block(id, data, size) for every block that fits in the field.
template <typename Fn>
void WalkExtra(const std::string& extra, Fn block) {
  const auto* p = reinterpret_cast<const uint8_t*>(extra.data());
  size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    uint16_t id = Le16(p + pos);
    size_t size = Le16(p + pos + 2);
    pos += 4;
    if (size > extra.size() - pos) {
      return;
    }
    block(id, p + pos, size);
    pos += size;
  }
}

// Reads the next 8-byte zip64 field when the 32-bit value was saturated.
void Zip64Field(uint64_t* value, const uint8_t* data, size_t size, size_t* pos) {
  if (*value != kSaturated32) {
    return;
  }
  if (*pos + 8 > size) {
    return;
  }
  *value = Le64(data + *pos);
  *pos += 8;
}

}  // namespace

void ApplyLocalExtra(const std::string& extra, LocalHeader* header) {
  WalkExtra(extra, [header](uint16_t id, const uint8_t* data, size_t size) {
    if (id == 0x0001) {
      // A local zip64 block always holds both sizes.
      if (size >= 16) {
        header->uncompressed_size = Le64(data);
        header->compressed_size = Le64(data + 8);
      }
    } else if (id == 0x0064 && size >= 4) {
      header->compressed_size |= static_cast<uint64_t>(Le16(data)) << 32;
      header->uncompressed_size |= static_cast<uint64_t>(Le16(data + 2)) << 32;
    }
  });
}

void ApplyCentralExtra(const std::string& extra, bool extended_end, CentralHeader* header) {
  WalkExtra(extra, [header, extended_end](uint16_t id, const uint8_t* data, size_t size) {
    if (id == 0x0001) {
      size_t pos = 0;
      Zip64Field(&header->uncompressed_size, data, size, &pos);
      Zip64Field(&header->compressed_size, data, size, &pos);
      Zip64Field(&header->local_offset, data, size, &pos);
      if (header->disk_start == 0xFFFF && pos + 4 <= size) {
        header->disk_start = Le32(data + pos);
      }
    } else if (id == 0x0064 && size >= 6) {
      header->compressed_size |= static_cast<uint64_t>(Le16(data)) << 32;
      header->uncompressed_size |= static_cast<uint64_t>(Le16(data + 2)) << 32;
      if (extended_end) {
        header->local_offset |= static_cast<uint64_t>(Le16(data + 4)) << 32;
      }
    }
  });
}

}  // namespace qm::zip
