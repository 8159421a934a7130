#include "platform/version_block.h"

#include "util/ascii.h"

namespace qm::platform {
namespace {

constexpr uint32_t kRtVersion = 16;
// A version resource is small; anything larger is not one.
constexpr uint32_t kMaxBlockSize = 1 << 20;

uint16_t U16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

uint32_t U32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(U16(b, at)) | static_cast<uint32_t>(U16(b, at + 2)) << 16;
}

uint64_t U64(const std::string& b, size_t at) {
  return static_cast<uint64_t>(U32(b, at)) | static_cast<uint64_t>(U32(b, at + 4)) << 32;
}

struct Section {
  uint32_t virtual_address;
  uint32_t virtual_size;
  uint32_t raw_size;
  uint32_t raw_offset;
};

// File offset of [rva, rva + size) when one section's raw data holds it.
std::optional<uint64_t> RvaToOffset(const std::vector<Section>& sections,
                                    uint32_t rva,
                                    uint32_t size) {
  for (const Section& s : sections) {
    uint64_t start = s.virtual_address;
    uint64_t end = start + s.raw_size;
    if (rva >= start && uint64_t{rva} + size <= end) {
      return uint64_t{s.raw_offset} + (rva - start);
    }
  }
  return std::nullopt;
}

// The resource directory entry to follow at one level: the first entry
// whose id is in preferred (tried in that order), else the first entry when
// any_entry is set.
std::optional<uint32_t> ResourceEntry(const ByteSource& source,
                                      uint64_t resource_base,
                                      uint32_t resource_size,
                                      uint32_t directory,
                                      const std::vector<uint32_t>& preferred,
                                      bool any_entry,
                                      bool want_subdirectory) {
  std::string header;
  if (uint64_t{directory} + 16 > resource_size || !source(resource_base + directory, 16, &header)) {
    return std::nullopt;
  }
  const uint32_t named = U16(header, 12);
  const uint32_t count = named + U16(header, 14);
  if (count == 0 || uint64_t{directory} + 16 + uint64_t{count} * 8 > resource_size) {
    return std::nullopt;
  }
  std::string entries;
  if (!source(resource_base + directory + 16, size_t{count} * 8, &entries)) {
    return std::nullopt;
  }
  std::optional<uint32_t> chosen;
  for (uint32_t id : preferred) {
    for (uint32_t i = named; i < count && !chosen; ++i) {
      if (U32(entries, size_t{i} * 8) == id) {
        chosen = i;
      }
    }
    if (chosen) {
      break;
    }
  }
  if (!chosen && any_entry) {
    chosen = 0;
  }
  if (!chosen) {
    return std::nullopt;
  }
  uint32_t target = U32(entries, size_t{*chosen} * 8 + 4);
  const bool subdirectory = (target & 0x80000000u) != 0;
  target &= 0x7FFFFFFFu;
  if (subdirectory != want_subdirectory || target >= resource_size) {
    return std::nullopt;
  }
  return target;
}

std::optional<std::string> PeVersionBlock(const ByteSource& source,
                                          const std::string& dos,
                                          const std::vector<uint32_t>& preferred) {
  const uint32_t pe_offset = U32(dos, 0x3C);
  std::string pe;
  if (!source(pe_offset, 24, &pe) || pe.compare(0, 4, std::string("PE\0\0", 4)) != 0) {
    return std::nullopt;
  }
  const uint16_t section_count = U16(pe, 6);
  const uint16_t optional_size = U16(pe, 20);
  const uint64_t optional_offset = uint64_t{pe_offset} + 24;
  std::string optional;
  if (optional_size < 2 || !source(optional_offset, optional_size, &optional)) {
    return std::nullopt;
  }
  size_t directories_at;
  size_t count_at;
  switch (U16(optional, 0)) {
    case 0x10B:  // PE32
      count_at = 92;
      directories_at = 96;
      break;
    case 0x20B:  // PE32+
      count_at = 108;
      directories_at = 112;
      break;
    default:
      return std::nullopt;
  }
  const size_t resource_at = directories_at + size_t{2} * 8;
  if (optional.size() < resource_at + 8 || U32(optional, count_at) < 3) {
    return std::nullopt;
  }
  const uint32_t resource_rva = U32(optional, resource_at);
  const uint32_t resource_size = U32(optional, resource_at + 4);
  if (resource_rva == 0 || resource_size == 0) {
    return std::nullopt;
  }

  std::string table;
  if (!source(optional_offset + optional_size, size_t{section_count} * 40, &table)) {
    return std::nullopt;
  }
  std::vector<Section> sections;
  for (size_t i = 0; i < section_count; ++i) {
    sections.push_back({U32(table, i * 40 + 12), U32(table, i * 40 + 8), U32(table, i * 40 + 16),
                        U32(table, i * 40 + 20)});
  }
  std::optional<uint64_t> resource_base = RvaToOffset(sections, resource_rva, 16);
  if (!resource_base) {
    return std::nullopt;
  }

  // Type RT_VERSION, then name 1 (VS_VERSION_INFO) or else the first name,
  // then the language as the caller prefers it.
  std::optional<uint32_t> names =
      ResourceEntry(source, *resource_base, resource_size, 0, {kRtVersion}, false, true);
  if (!names) {
    return std::nullopt;
  }
  std::optional<uint32_t> languages =
      ResourceEntry(source, *resource_base, resource_size, *names, {1}, true, true);
  if (!languages) {
    return std::nullopt;
  }
  std::optional<uint32_t> data_entry =
      ResourceEntry(source, *resource_base, resource_size, *languages, preferred, true, false);
  if (!data_entry || uint64_t{*data_entry} + 16 > resource_size) {
    return std::nullopt;
  }
  std::string entry;
  if (!source(*resource_base + *data_entry, 16, &entry)) {
    return std::nullopt;
  }
  const uint32_t data_rva = U32(entry, 0);
  const uint32_t data_size = U32(entry, 4);
  if (data_size == 0 || data_size > kMaxBlockSize) {
    return std::nullopt;
  }
  std::optional<uint64_t> data_offset = RvaToOffset(sections, data_rva, data_size);
  std::string block;
  if (!data_offset || !source(*data_offset, data_size, &block)) {
    return std::nullopt;
  }
  return block;
}

std::optional<std::string> ElfVersionBlock(const ByteSource& source, const std::string& ident) {
  const bool is64 = ident[4] == 2;
  if ((ident[4] != 1 && ident[4] != 2) || ident[5] != 1) {  // little-endian only
    return std::nullopt;
  }
  std::string header;
  if (!source(0, is64 ? 64 : 52, &header)) {
    return std::nullopt;
  }
  const uint64_t section_offset = is64 ? U64(header, 0x28) : U32(header, 0x20);
  const uint16_t entry_size = U16(header, is64 ? 0x3A : 0x2E);
  const uint16_t count = U16(header, is64 ? 0x3C : 0x30);
  const uint16_t names_index = U16(header, is64 ? 0x3E : 0x32);
  const size_t min_entry = is64 ? 64 : 40;
  if (section_offset == 0 || count == 0 || entry_size < min_entry || names_index >= count) {
    return std::nullopt;
  }
  std::string table;
  if (!source(section_offset, size_t{count} * entry_size, &table)) {
    return std::nullopt;
  }
  auto offset_of = [&](size_t i) {
    return is64 ? U64(table, i * entry_size + 24) : U32(table, i * entry_size + 16);
  };
  auto size_of = [&](size_t i) {
    return is64 ? U64(table, i * entry_size + 32) : U32(table, i * entry_size + 20);
  };
  const uint64_t names_offset = offset_of(names_index);
  const uint64_t names_size = size_of(names_index);
  const std::string wanted(".qm_version");
  for (size_t i = 0; i < count; ++i) {
    const uint32_t name = U32(table, i * entry_size);
    if (name >= names_size || names_size - name < wanted.size() + 1) {
      continue;
    }
    std::string text;
    if (!source(names_offset + name, wanted.size() + 1, &text) || text != wanted + '\0') {
      continue;
    }
    const uint32_t type = U32(table, i * entry_size + 4);
    const uint64_t size = size_of(i);
    if (type == 8 /* SHT_NOBITS */ || size == 0 || size > kMaxBlockSize) {
      return std::nullopt;
    }
    std::string block;
    if (!source(offset_of(i), static_cast<size_t>(size), &block)) {
      return std::nullopt;
    }
    return block;
  }
  return std::nullopt;
}

size_t Align4(size_t at) {
  return (at + 3) & ~size_t{3};
}

// One node of the block tree: [start, end) with its key and value.
struct Node {
  size_t start = 0;
  size_t end = 0;
  size_t value_start = 0;
  size_t value_size = 0;
  bool is_text = false;
  size_t children = 0;
  std::string key_utf16;
};

// Reads the node at start within [start, limit).
std::optional<Node> ReadNode(const std::string& block, size_t start, size_t limit) {
  if (start + 6 > limit) {
    return std::nullopt;
  }
  const size_t length = U16(block, start);
  if (length < 6 || start + length > limit) {
    return std::nullopt;
  }
  Node node;
  node.start = start;
  node.end = start + length;
  const uint16_t value_length = U16(block, start + 2);
  node.is_text = U16(block, start + 4) == 1;
  size_t at = start + 6;
  while (true) {
    if (at + 2 > node.end) {
      return std::nullopt;
    }
    uint16_t unit = U16(block, at);
    at += 2;
    if (unit == 0) {
      break;
    }
    node.key_utf16.append(block, at - 2, 2);
  }
  node.value_start = std::min(Align4(at), node.end);
  size_t value_bytes = node.is_text ? size_t{value_length} * 2 : value_length;
  node.value_size = std::min(value_bytes, node.end - node.value_start);
  node.children = std::min(Align4(node.value_start + node.value_size), node.end);
  return node;
}

}  // namespace

std::optional<std::string> ExtractVersionBlock(const ByteSource& source,
                                               const std::vector<uint32_t>& languages) {
  std::string start;
  if (!source(0, 64, &start)) {
    return std::nullopt;
  }
  if (start.compare(0, 2, "MZ") == 0) {
    return PeVersionBlock(source, start, languages);
  }
  if (start.compare(0, 4,
                    "\x7f"
                    "ELF") == 0) {
    return ElfVersionBlock(source, start);
  }
  return std::nullopt;
}

bool QueryVersionValue(const std::string& block,
                       const std::string& sub_block,
                       const KeyText& key_text,
                       std::string* value,
                       bool* is_text) {
  std::optional<Node> node = ReadNode(block, 0, block.size());
  if (!node) {
    return false;
  }
  size_t pos = 0;
  while (pos <= sub_block.size()) {
    size_t next = sub_block.find('\\', pos);
    if (next == std::string::npos) {
      next = sub_block.size();
    }
    const std::string key = sub_block.substr(pos, next - pos);
    pos = next + 1;
    if (key.empty()) {
      continue;
    }
    std::optional<Node> found;
    for (size_t child = node->children; child < node->end;) {
      std::optional<Node> candidate = ReadNode(block, child, node->end);
      if (!candidate) {
        break;
      }
      if (EqualsIgnoringAsciiCase(key_text(candidate->key_utf16), key)) {
        found = candidate;
        break;
      }
      child = Align4(candidate->end);
    }
    if (!found) {
      return false;
    }
    node = found;
  }
  value->assign(block, node->value_start, node->value_size);
  *is_text = node->is_text;
  return true;
}

}  // namespace qm::platform
