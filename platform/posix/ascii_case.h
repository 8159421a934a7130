// Letter case as Windows ignores it in names: ASCII only, so the bytes of
// two-byte Korean characters are never folded.
#pragma once

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

}  // namespace qm::platform::posix
