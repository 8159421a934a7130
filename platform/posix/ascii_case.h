// Letter case as Windows ignores it in names: ASCII only, so the bytes of
// two-byte Korean characters are never folded.
#pragma once

#include <string>
#include <string_view>

namespace qm::platform::posix {

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char ca = a[i], cb = b[i];
    if (ca >= 'A' && ca <= 'Z') {
      ca += 'a' - 'A';
    }
    if (cb >= 'A' && cb <= 'Z') {
      cb += 'a' - 'A';
    }
    if (ca != cb) {
      return false;
    }
  }
  return true;
}

// The name with ASCII capitals made small: equal for names that
// EqualsIgnoringAsciiCase finds equal.
inline std::string FoldAsciiCase(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c + ('a' - 'A'));
    }
  }
  return folded;
}

}  // namespace qm::platform::posix
