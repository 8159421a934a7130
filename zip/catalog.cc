#include "zip/catalog.h"

#include <algorithm>
#include <cstring>

#include "zip/decode/zip_crypto.h"
#include "zip/zip_records.h"

namespace qm::zip {
namespace {

// Reads a record's name (decrypting it with the header key stream when the
// record was header-encrypted) and its extra field.
bool ReadNameAndExtra(ArchiveSource& source,
                      uint64_t pos,
                      uint16_t name_length,
                      uint16_t extra_length,
                      ZipCrypto* crypto,
                      std::string* name,
                      std::string* extra) {
  std::string full(name_length, '\0');
  if (name_length && !source.ReadExact(pos, full.data(), full.size())) {
    return false;
  }
  if (crypto) {
    crypto->Decrypt(reinterpret_cast<uint8_t*>(full.data()), full.size());
  }
  // Only the first bytes of a long name are kept; the rest is passed over.
  full.resize(std::min<size_t>(full.size(), kMaxNameLength));
  *name = std::move(full);
  extra->assign(extra_length, '\0');
  if (extra_length && !source.ReadExact(pos + name_length, extra->data(), extra->size())) {
    return false;
  }
  return true;
}

struct LocalRecord {
  LocalHeader header;
  std::string name;
  uint64_t data_offset = 0;
};

bool ReadLocalRecord(ArchiveSource& source, uint64_t pos, LocalRecord* record) {
  uint8_t h[kLocalHeaderSize];
  if (!source.ReadExact(pos, h, sizeof(h))) {
    return false;
  }
  Signature sig = ParseSignature(h);
  if (sig.kind != RecordKind::kLocal) {
    return false;
  }
  ZipCrypto crypto = ZipCrypto::ForHeaders();
  if (sig.header_encrypted) {
    crypto.Decrypt(h + 4, sizeof(h) - 4);
  }
  record->header = ParseLocalHeader(h);
  std::string extra;
  if (!ReadNameAndExtra(source, pos + kLocalHeaderSize, record->header.name_length,
                        record->header.extra_length, sig.header_encrypted ? &crypto : nullptr,
                        &record->name, &extra)) {
    return false;
  }
  ApplyLocalExtra(extra, &record->header);
  record->data_offset =
      pos + kLocalHeaderSize + record->header.name_length + record->header.extra_length;
  return true;
}

uint64_t SaturatedAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

void WalkCentral(ArchiveSource& source,
                 const Recognition& r,
                 CatalogObserver& observer,
                 uint64_t max_entries,
                 Catalog* catalog) {
  if (r.first_position < 0) {
    return;
  }
  uint64_t pos = static_cast<uint64_t>(r.first_position);
  catalog->directory_begin = pos;
  const uint64_t size = source.Size();
  while (!observer.Cancelled()) {
    uint8_t h[kCentralHeaderSize];
    if (!source.ReadExact(pos, h, sizeof(h))) {
      break;
    }
    Signature sig = ParseSignature(h);
    if (sig.kind != RecordKind::kCentral) {
      break;
    }
    ZipCrypto crypto = ZipCrypto::ForHeaders();
    if (sig.header_encrypted) {
      crypto.Decrypt(h + 4, sizeof(h) - 4);
    }
    CentralHeader central = ParseCentralHeader(h);
    std::string name, extra;
    if (!ReadNameAndExtra(source, pos + kCentralHeaderSize, central.name_length,
                          central.extra_length, sig.header_encrypted ? &crypto : nullptr, &name,
                          &extra)) {
      break;
    }
    ApplyCentralExtra(extra, r.end.extended, &central);
    if (max_entries != 0 && catalog->entries_walked == max_entries) {
      catalog->too_many = true;
      break;
    }
    ++catalog->entries_walked;

    if (observer.Select(name, central.flags)) {
      uint64_t local_offset = central.local_offset + static_cast<uint64_t>(r.adjustment);
      LocalRecord local;
      // A name that differs between the two headers is damage (a flipped
      // byte); the member's CRC would not catch it, and the file would land
      // under a name nobody asked for.
      if (local_offset >= size || !ReadLocalRecord(source, local_offset, &local) ||
          local.name != name) {
        observer.BadHeader(name, central.flags);
      } else {
        MemberEntry e;
        e.raw_name = name;
        e.flags = central.flags;
        e.method = central.method;
        e.dos_time = local.header.dos_time;
        // The directory's CRC: a local one may be 0 when a descriptor follows.
        e.crc = central.crc;
        e.compressed_size = central.compressed_size;
        e.uncompressed_size = central.uncompressed_size;
        e.external_attributes = central.external_attributes;
        e.local_offset = local_offset;
        e.data_offset = local.data_offset;
        e.from_central = true;
        catalog->members.push_back(std::move(e));
      }
    }
    pos += kCentralHeaderSize + central.name_length + central.extra_length + central.comment_length;
    catalog->directory_end = pos;
  }
  if (!catalog->too_many && r.end.found && !r.end.extended &&
      catalog->entries_walked < r.end.total_entries) {
    catalog->damaged = true;
  }
}

bool IsDescriptorSignature(const uint8_t* p) {
  return p[0] == 'P' && p[1] == 'K' && p[2] == 7 && p[3] == 8;
}

void WalkLocal(ArchiveSource& source,
               const Recognition& r,
               CatalogObserver& observer,
               uint64_t max_entries,
               Catalog* catalog) {
  catalog->by_local_headers = true;
  // Without a directory the archive's end is unknown: it counts as damaged.
  catalog->damaged = true;
  if (r.first_position < 0) {
    return;
  }
  uint64_t pos = static_cast<uint64_t>(r.first_position);
  uint8_t marker[4];
  if (source.ReadExact(pos, marker, 4) &&
      (IsDescriptorSignature(marker) ||
       (marker[0] == 'P' && marker[1] == 'K' && marker[2] == '0' && marker[3] == '0'))) {
    pos += 4;
  }
  const uint64_t size = source.Size();
  while (!observer.Cancelled()) {
    LocalRecord local;
    if (!ReadLocalRecord(source, pos, &local)) {
      break;
    }
    MemberEntry e;
    e.raw_name = local.name;
    e.flags = local.header.flags;
    e.method = local.header.method;
    e.dos_time = local.header.dos_time;
    e.crc = local.header.crc;
    e.compressed_size = local.header.compressed_size;
    e.uncompressed_size = local.header.uncompressed_size;
    e.local_offset = pos;
    e.data_offset = local.data_offset;
    uint64_t descriptor_length = 0;
    if (local.header.flags & kFlagDataDescriptor) {
      if (e.compressed_size == 0 && e.crc == 0) {
        if (!FindDataDescriptor(source, e.data_offset, &e, &descriptor_length)) {
          return;
        }
      } else {
        uint8_t d[4];
        uint64_t after = e.data_offset + e.compressed_size;
        descriptor_length = source.ReadExact(after, d, 4) && IsDescriptorSignature(d) ? 16 : 12;
      }
    }
    if (e.data_offset > size || e.compressed_size > size - e.data_offset) {
      return;
    }
    if (max_entries != 0 && catalog->entries_walked == max_entries) {
      catalog->too_many = true;
      return;
    }
    ++catalog->entries_walked;
    if (!e.raw_name.empty() && observer.Select(e.raw_name, e.flags)) {
      catalog->members.push_back(e);
    }
    pos = e.data_offset + e.compressed_size + descriptor_length;
  }
}

}  // namespace

bool FindDataDescriptor(ArchiveSource& source,
                        uint64_t data_offset,
                        MemberEntry* entry,
                        uint64_t* descriptor_length) {
  constexpr size_t kChunk = 65536;
  std::string buf;
  const uint64_t size = source.Size();
  for (uint64_t base = data_offset; base < size; base += kChunk) {
    // Overlap so that a signature across two chunks is seen.
    size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk + 3, size - base));
    buf.resize(want);
    if (!source.ReadExact(base, buf.data(), want)) {
      return false;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(buf.data());
    for (size_t i = 0; i + 4 <= want && i < kChunk; ++i) {
      if (p[i] != 'P' || !IsDescriptorSignature(p + i)) {
        continue;
      }
      uint64_t distance = base + i - data_offset;
      uint8_t d[28];
      int64_t got = source.ReadAt(base + i, d, sizeof(d));
      // The 8-byte form when its sizes fit and a record follows it.
      bool wide = got >= 24 && Le64(d + 8) == distance &&
                  (got < 28 || ParseSignature(d + 24).kind != RecordKind::kNone);
      if (!wide && !(got >= 16 && Le32(d + 8) == distance)) {
        continue;
      }
      entry->crc = Le32(d + 4);
      entry->compressed_size = distance;
      entry->uncompressed_size = wide ? Le64(d + 16) : Le32(d + 12);
      *descriptor_length = wide ? 24 : 16;
      return true;
    }
  }
  return false;
}

Catalog ReadCatalog(ArchiveSource& source,
                    const Recognition& recognition,
                    CatalogObserver& observer,
                    uint64_t max_entries) {
  Catalog catalog;
  if (recognition.state == THeaderTypeState::Of(THeaderType::htLocal)) {
    WalkLocal(source, recognition, observer, max_entries, &catalog);
  } else {
    WalkCentral(source, recognition, observer, max_entries, &catalog);
  }
  return catalog;
}

bool MembersOverlap(const Catalog& catalog) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [begin, end)
  ranges.reserve(catalog.members.size() + 1);
  for (const MemberEntry& e : catalog.members) {
    ranges.emplace_back(e.local_offset, SaturatedAdd(e.data_offset, e.compressed_size));
  }
  if (catalog.directory_end > catalog.directory_begin) {
    ranges.emplace_back(catalog.directory_begin, catalog.directory_end);
  }
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first < ranges[i - 1].second) {
      return true;
    }
  }
  return false;
}

}  // namespace qm::zip
