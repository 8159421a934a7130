// The wildcard masks: a mask and a name separated by a newline. Matching
// must end, and a mask without wildcards must match exactly its own text
// (letter case aside).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "zip/internal_mask.h"
#include "zip/member_names.h"

namespace {

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\n');
  std::string mask = input.substr(0, split);
  std::string name = split == std::string::npos ? "" : input.substr(split + 1);
  bool matches = qm::zip::TInternalMask(mask).Matches(name);
  bool wild = mask.find_first_of("*?") != std::string::npos;
  bool dot_rule = !mask.empty() && mask.back() == '.' && name.find('.') == std::string::npos;
  if (!wild && !dot_rule && matches != EqualNoCase(mask, name)) {
    std::abort();
  }
  if (mask == "*" && !qm::zip::TInternalMask(mask).Matches(name)) {
    std::abort();
  }
  std::vector<std::string> masks = {mask, "*.zzz"};
  qm::zip::SelectMember(&masks, true, qm::zip::StoredName(name));
  qm::zip::SelectMember(&masks, false, qm::zip::StoredName(name));
  return 0;
}
