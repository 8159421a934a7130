#include "zip/recognition.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "util/ascii.h"
#include "zip/decode/zip_crypto.h"
#include "zip/zip_records.h"

namespace qm::zip {
namespace {

// An end record may be followed by a comment of up to 65535 bytes.
constexpr uint64_t kEndSearchWindow = kEndRecordSize + 65535;
// Without a central directory, local headers are looked for this far.
constexpr uint64_t kLocalScanLength = uint64_t{4} * 32768;

bool ParseEndAt(const std::vector<uint8_t>& buf,
                size_t i,
                uint64_t file_pos,
                uint64_t file_size,
                EndRecord* end) {
  Signature sig = ParseSignature(&buf[i]);
  if (sig.kind != RecordKind::kEnd && sig.kind != RecordKind::kExtendedEnd) {
    return false;
  }
  size_t size = sig.kind == RecordKind::kEnd ? kEndRecordSize : kExtendedEndRecordSize;
  if (i + size > buf.size()) {
    return false;
  }
  uint8_t rec[kExtendedEndRecordSize];
  std::memcpy(rec, &buf[i], size);
  if (sig.header_encrypted) {
    ZipCrypto::ForHeaders().Decrypt(rec + 4, size - 4);
  }
  uint16_t comment_length = Le16(rec + size - 2);
  if (file_pos + size + comment_length > file_size) {
    return false;
  }
  *end = EndRecord();
  end->found = true;
  end->position = file_pos;
  end->this_disk = Le16(rec + 4);
  end->directory_disk = Le16(rec + 6);
  if (sig.kind == RecordKind::kExtendedEnd) {
    end->extended = true;
    end->directory_offset = Le64(rec + 16);
  } else {
    end->total_entries = Le16(rec + 10);
    end->directory_size = Le32(rec + 12);
    end->directory_offset = Le32(rec + 16);
  }
  end->directory_end = file_pos;
  return true;
}

bool ParseZip64End(const uint8_t* p, EndRecord* end) {
  if (!(p[0] == 'P' && p[1] == 'K' && p[2] == 6 && p[3] == 6)) {
    return false;
  }
  end->zip64 = true;
  end->this_disk = Le32(p + 16);
  end->directory_disk = Le32(p + 20);
  end->total_entries = Le64(p + 32);
  end->directory_size = Le64(p + 40);
  end->directory_offset = Le64(p + 48);
  return true;
}

// Looks for the zip64 locator in front of a plain end record.
void ReadZip64End(ArchiveSource& source, EndRecord* end) {
  if (end->extended || end->position < kZip64LocatorSize) {
    return;
  }
  uint8_t loc[kZip64LocatorSize];
  uint64_t loc_pos = end->position - kZip64LocatorSize;
  if (!source.ReadExact(loc_pos, loc, sizeof(loc))) {
    return;
  }
  if (!(loc[0] == 'P' && loc[1] == 'K' && loc[2] == 6 && loc[3] == 7)) {
    return;
  }
  uint8_t rec[kZip64EndRecordSize];
  // Where the locator says, or right in front of it when data precedes the zip.
  uint64_t candidates[2] = {
      Le64(loc + 8), loc_pos >= kZip64EndRecordSize ? loc_pos - kZip64EndRecordSize : UINT64_MAX};
  for (uint64_t pos : candidates) {
    if (pos != UINT64_MAX && pos < loc_pos && source.ReadExact(pos, rec, sizeof(rec)) &&
        ParseZip64End(rec, end)) {
      end->directory_end = pos;
      return;
    }
  }
}

bool FindEndRecord(ArchiveSource& source, uint64_t size, EndRecord* end) {
  uint64_t window = std::min(size, kEndSearchWindow);
  std::vector<uint8_t> buf(window);
  uint64_t base = size - window;
  if (!source.ReadExact(base, buf.data(), window)) {
    return false;
  }
  if (window < kEndRecordSize) {
    return false;
  }
  for (size_t i = window - kEndRecordSize + 1; i-- > 0;) {
    if (buf[i] == 'P' && ParseEndAt(buf, i, base + i, size, end)) {
      ReadZip64End(source, end);
      return true;
    }
  }
  return false;
}

// Reads a central header with its name and extra field at pos; its local
// offset (after size extensions) goes to *local_offset.
bool ReadFirstCentral(ArchiveSource& source,
                      uint64_t pos,
                      bool extended_end,
                      uint64_t* local_offset) {
  uint8_t h[kCentralHeaderSize];
  if (!source.ReadExact(pos, h, sizeof(h))) {
    return false;
  }
  Signature sig = ParseSignature(h);
  if (sig.kind != RecordKind::kCentral) {
    return false;
  }
  if (sig.header_encrypted) {
    ZipCrypto::ForHeaders().Decrypt(h + 4, sizeof(h) - 4);
  }
  CentralHeader central = ParseCentralHeader(h);
  std::string extra(central.extra_length, '\0');
  if (!extra.empty() && !source.ReadExact(pos + kCentralHeaderSize + central.name_length,
                                          extra.data(), extra.size())) {
    extra.clear();
  }
  ApplyCentralExtra(extra, extended_end, &central);
  *local_offset = central.local_offset;
  return true;
}

bool HasCentralAt(ArchiveSource& source, uint64_t pos) {
  uint8_t h[4];
  return source.ReadExact(pos, h, 4) && IsCentralSignature(h);
}

int64_t ScanForLocalHeader(ArchiveSource& source, uint64_t size) {
  uint64_t length = std::min(size, kLocalScanLength);
  std::vector<uint8_t> buf(length);
  if (source.ReadAt(0, buf.data(), length) != static_cast<int64_t>(length)) {
    return -1;
  }
  for (size_t i = 0; i + 4 <= length; ++i) {
    if (buf[i] == 'P' && IsLocalSignature(&buf[i])) {
      return static_cast<int64_t>(i);
    }
  }
  return -1;
}

TArcType OtherType(const uint8_t* p, size_t n, const std::string& name) {
  auto at = [&](size_t offset, const char* sig) {
    size_t len = std::strlen(sig);
    return offset + len <= n && std::memcmp(p + offset, sig, len) == 0;
  };
  if (at(0, "Rar!\x1a\x07")) {
    return TArcType::atRar;
  }
  if (at(0, "MSCF")) {
    return TArcType::atCab;
  }
  if (n >= 2 && p[0] == 0x1f && p[1] == 0x8b) {
    return EndsWithIgnoringAsciiCase(name, ".tgz") || EndsWithIgnoringAsciiCase(name, ".tar.gz")
               ? TArcType::atTarGZip
               : TArcType::atGZip;
  }
  if (n >= 2 && p[0] == 0x60 && p[1] == 0xea) {
    return TArcType::atArj;
  }
  if (at(0, "ZOO ")) {
    return TArcType::atZoo;
  }
  if (at(2, "-lh")) {
    return TArcType::atLha;
  }
  if (at(2, "-lz")) {
    return TArcType::atLzh;
  }
  if (at(7, "**ACE**")) {
    return TArcType::atAce;
  }
  if (at(257, "ustar")) {
    return TArcType::atTar;
  }
  if (at(0, "SZDD")) {
    return TArcType::atMsGZ;
  }
  if (at(0, "begin ")) {
    return TArcType::atUUE;
  }
  return TArcType::atUnknown;
}

}  // namespace

bool IsZipType(TArcType type) {
  return type == TArcType::atZip || type == TArcType::atZipExe || type == TArcType::atJar ||
         type == TArcType::atJarExe;
}

void FindZipStructures(ArchiveSource& source, Recognition* r) {
  r->state = THeaderTypeState();
  r->adjustment = 0;
  r->first_position = 0;
  uint64_t size = source.Size();
  if (!FindEndRecord(source, size, &r->end)) {
    return;
  }
  r->state.Add(THeaderType::htEnding);
  const EndRecord& end = r->end;

  uint64_t central = end.directory_offset;
  bool found = HasCentralAt(source, central);
  if (!found && end.directory_size <= end.directory_end) {
    uint64_t by_size = end.directory_end - end.directory_size;
    if (HasCentralAt(source, by_size)) {
      found = true;
      r->adjustment = static_cast<int64_t>(by_size - central);
      central = by_size;
    }
  }
  if (found) {
    r->state.Add(THeaderType::htCentral);
    r->first_position = static_cast<int64_t>(central);
    uint64_t local_offset = 0;
    uint8_t local[kLocalHeaderSize];
    if (ReadFirstCentral(source, central, end.extended, &local_offset) &&
        source.ReadExact(local_offset + r->adjustment, local, sizeof(local)) &&
        IsLocalSignature(local)) {
      r->state.Add(THeaderType::htLocal);
    }
    return;
  }
  int64_t local = ScanForLocalHeader(source, size);
  r->first_position = local;
  if (local >= 0) {
    r->state = THeaderTypeState::Of(THeaderType::htLocal);
  }
}

Recognition RecognizeArchive(ArchiveSource& source, const std::string& name) {
  Recognition r;
  r.archive_size = source.Size();
  if (r.archive_size < kMinArchiveSize) {
    return r;
  }
  std::vector<uint8_t> head(std::min<uint64_t>(r.archive_size, 32767));
  int64_t got = source.ReadAt(0, head.data(), head.size());
  if (got <= 0) {
    return r;
  }
  head.resize(static_cast<size_t>(got));

  size_t start = 0;
  bool program = head.size() >= 2 && head[0] == 'M' && head[1] == 'Z';
  if (!program) {
    while (start < head.size() && head[start] == 0) {
      ++start;
    }
  }
  const uint8_t* p = head.data() + start;
  size_t n = head.size() - start;
  if (!program && n >= 4 && p[0] == 'P' &&
      (p[1] == 'K' || p[1] == 'L' || p[1] == 'M' || p[1] == 'N')) {
    if ((p[2] == 1 && p[3] == 2) || (p[2] == 7 && p[3] == 8)) {
      r.type = TArcType::atZipMV;
      FindZipStructures(source, &r);
      // A set of one segment is a whole archive.
      if (p[2] == 7 && r.end.found && r.end.this_disk == 0 && r.end.directory_disk == 0) {
        r.type = TArcType::atZip;
      }
    } else if ((p[2] == 'G' && p[3] == '4') || (p[2] == 'C' && p[3] == 'I')) {
      r.type = TArcType::atUnknown;
      return r;
    } else {
      r.type = TArcType::atZip;
      FindZipStructures(source, &r);
    }
    if (r.type == TArcType::atZip && !r.state.Has(THeaderType::htLocal) && r.first_position == 0) {
      // No usable directory: walk the local headers from the first one.
      r.first_position = static_cast<int64_t>(start);
      r.state.Add(THeaderType::htLocal);
    }
  } else {
    r.type = program ? TArcType::atUnknown : OtherType(p, n, name);
    if (r.type == TArcType::atUnknown) {
      // Data in front of a zip archive: a program stub or any other prefix.
      FindZipStructures(source, &r);
      if (r.state.Has(THeaderType::htCentral)) {
        r.type = TArcType::atZipExe;
      } else {
        r = Recognition{TArcType::atUnknown, {}, -1, 0, {}, r.archive_size};
      }
    }
  }
  if (r.type == TArcType::atZip && EndsWithIgnoringAsciiCase(name, ".jar")) {
    r.type = TArcType::atJar;
  }
  if (r.type == TArcType::atZipExe && EndsWithIgnoringAsciiCase(name, ".jar")) {
    r.type = TArcType::atJarExe;
  }
  if (r.first_position < 0 && !IsZipType(r.type)) {
    r.first_position = 0;
  }
  return r;
}

const char* ArcTypeName(TArcType type) {
  static const char* const kNames[] = {
      "atNA",     "atUnsupported", "atFileOpenErr", "atUnknown", "atAce",    "atAceExe",
      "atArc",    "atArcExe",      "atArj",         "atArjExe",  "atBh",     "atBhExe",
      "atCab",    "atGZip",        "atHA",          "atJar",     "atJarExe", "atLha",
      "atLhaExe", "atLzh",         "atLzhExe",      "atMsGZ",    "atPak",    "atPakExe",
      "atRar",    "atRarExe",      "atTar",         "atTarGZip", "atUUE",    "atZip",
      "atZipExe", "atZipDS",       "atZipMV",       "atZoo"};
  return kNames[static_cast<int>(type)];
}

}  // namespace qm::zip
