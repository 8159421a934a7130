// ASCII letter case as Windows treats it in names, keys and headers: only
// A-Z and a-z fold, so the bytes of two-byte Korean (code page 949)
// characters never change and the result never depends on the C locale.
// Header only and free of platform includes, so that every folder,
// the platform backends included, can use it.
#pragma once

#include <string>
#include <string_view>

namespace qm {

constexpr bool IsAsciiAlphanumeric(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiLowerCopy(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    c = AsciiLower(c);
  }
  return lower;
}

inline std::string AsciiUpperCopy(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    c = AsciiUpper(c);
  }
  return upper;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

constexpr bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

// Without the control characters and blanks (bytes up to 32) at both ends,
// as settings values and header fields are read.
constexpr std::string_view TrimAsciiBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') {
    text.remove_prefix(1);
  }
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace qm
