// The raw VS_VERSIONINFO block of an executable and VerQueryValue over it,
// for a backend without the Windows version functions. Every offset read
// from the file is checked: hostile files must only fail.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qm::platform {

// Reads size bytes at offset into out; false when they are not all there.
using ByteSource = std::function<bool(uint64_t offset, size_t size, std::string* out)>;

// PE: the RT_VERSION resource (name 1, else the first name; the first of
// languages present, else the first language). ELF: the contents of the
// section ".qm_version". nullopt when there is none.
std::optional<std::string> ExtractVersionBlock(const ByteSource& source,
                                               const std::vector<uint32_t>& languages);

// A key of the block (UTF-16LE) in the encoding of the caller's sub_block.
using KeyText = std::function<std::string(const std::string& utf16)>;

// VerQueryValue: sub_block is a path of keys separated by "\" (letter case
// ignored). On success value holds the value's bytes (UTF-16 for text) and
// is_text whether the block stores text.
bool QueryVersionValue(const std::string& block,
                       const std::string& sub_block,
                       const KeyText& key_text,
                       std::string* value,
                       bool* is_text);

}  // namespace qm::platform
