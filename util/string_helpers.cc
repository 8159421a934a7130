#include "util/string_helpers.h"

#include "util/ascii.h"

namespace qm {

void SplitToList(StringList& list, const std::string& text, const std::string& separator) {
  size_t start = 0;
  while (start < text.size()) {
    size_t found = separator.empty() ? std::string::npos : text.find(separator, start);
    if (found == std::string::npos) {
      list.push_back(text.substr(start));
      return;
    }
    list.push_back(text.substr(start, found - start));
    start = found + separator.size();
  }
}

std::ptrdiff_t LastPos(const std::string& sub, const std::string& s) {
  if (sub.size() > s.size()) {
    return -1;
  }
  for (size_t i = s.size() - sub.size() + 1; i >= 1; --i) {
    if (s.compare(i - 1, sub.size(), sub) == 0) {
      return static_cast<std::ptrdiff_t>(i);
    }
  }
  return -1;
}

std::string ReplaceAll(const std::string& s,
                       const std::string& pattern,
                       const std::string& replacement) {
  if (pattern.empty()) {
    return s;
  }
  // No cap on the remaining text: long values keep every byte.
  std::string result;
  size_t start = 0;
  for (size_t found = s.find(pattern); found != std::string::npos; found = s.find(pattern, start)) {
    result.append(s, start, found - start);
    result += replacement;
    start = found + pattern.size();
  }
  result.append(s, start, std::string::npos);
  return result;
}

std::string Trim(const std::string& s) {
  return std::string(TrimAsciiBlanks(s));
}

std::string TrimmedText(const std::optional<std::string>& value) {
  return value ? Trim(*value) : std::string();
}

std::string R_Trim(const std::string& s) {
  std::string value = Trim(s);
  std::ptrdiff_t p = LastPos(";", value);
  if (p > 0) {
    value = Trim(value.substr(0, static_cast<size_t>(p - 1)));
  }
  return value;
}

std::string ListValue(const StringList& list, const std::string& key) {
  for (const std::string& line : list) {
    size_t eq = line.find('=');
    if (eq != std::string::npos && EqualsIgnoringAsciiCase(line.substr(0, eq), key)) {
      return line.substr(eq + 1);
    }
  }
  return std::string();
}

}  // namespace qm
