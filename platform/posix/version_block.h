// The raw VS_VERSIONINFO block of an executable and VerQueryValue over it.
// Every offset read from the file is checked: hostile files must only fail.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qm::platform::posix {

// Reads size bytes at offset into out; false when they are not all there.
using ByteSource = std::function<bool(uint64_t offset, size_t size, std::string* out)>;

// PE: the RT_VERSION resource (first name, first language). ELF: the
// contents of the section ".qm_version". nullopt when there is none.
std::optional<std::string> ExtractVersionBlock(const ByteSource& source);

// VerQueryValue: sub_block is a path of keys separated by "\" (letter case
// ignored). On success value holds the value's bytes (UTF-16 for text) and
// is_text whether the block stores text.
bool QueryVersionValue(const std::string& block,
                       const std::string& sub_block,
                       std::string* value,
                       bool* is_text);

}  // namespace qm::platform::posix
