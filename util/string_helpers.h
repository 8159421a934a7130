// Small text operations shared by the launcher and the update engine. Texts
// are code page 949 byte strings; positions are 1-based byte positions and
// comparisons are exact bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// An ordered list of texts that keeps duplicates and empty items.
using StringList = std::vector<std::string>;

// Appends the pieces of text between occurrences of separator. A trailing
// separator adds no empty last piece; an empty separator never matches.
void SplitToList(StringList& list, const std::string& text, const std::string& separator);

// Position of the last occurrence of sub in s, or -1. An empty sub is found
// just after the end (length + 1).
std::ptrdiff_t LastPos(const std::string& sub, const std::string& s);

// Replaces every occurrence of pattern, searching only the text that follows
// the previous match.
std::string ReplaceAll(const std::string& s,
                       const std::string& pattern,
                       const std::string& replacement);

// Drops leading and trailing bytes of value 32 or less.
std::string Trim(const std::string& s);

// Empty for no value, else the value trimmed.
std::string TrimmedText(const std::optional<std::string>& value);

// A settings-file value: trimmed, then cut before its last ";" and trimmed
// again.
std::string R_Trim(const std::string& s);

// The value of the first "name=value" line whose name equals key (ASCII
// letters compared without case, as INI keys are); empty when absent.
std::string ListValue(const StringList& list, const std::string& key);

}  // namespace qm
