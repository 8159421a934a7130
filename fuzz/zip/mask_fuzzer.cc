// The wildcard masks: a mask and a name separated by a newline. Matching
// must end quickly, agree with a plain table-driven matcher of the same
// rules, and a mask without wildcards must match exactly its own text
// (letter case aside).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/ascii.h"
#include "zip/internal_mask.h"
#include "zip/member_names.h"

namespace {

using qm::AsciiUpper;

// The same rules as a table over (item, name position): slow and memory
// hungry, but plainly right.
bool ReferenceMatch(const std::string& mask, std::string name) {
  enum Kind { kLiteral, kAny, kEnd };
  struct Item {
    Kind kind;
    char ch;
    bool star;
  };
  std::vector<Item> items;
  bool star = false;
  for (char c : mask) {
    if (c == '*') {
      star = true;
    } else if (c == '?') {
      if (!star) {
        items.push_back({kAny, 0, false});
      }
    } else {
      items.push_back({kLiteral, AsciiUpper(c), star});
      star = false;
    }
  }
  items.push_back({kEnd, 0, star});
  if (!mask.empty() && mask.back() == '.' && name.find('.') == std::string::npos) {
    name += '.';
  }
  const size_t n = name.size();
  auto fits = [&](const Item& item, size_t pos) {
    if (item.kind == kEnd) {
      return pos == n;
    }
    return pos < n && (item.kind == kAny || AsciiUpper(name[pos]) == item.ch);
  };
  // can[i][p]: items i.. match name[p..]. A starred item may start at any
  // q >= p, so its row is a running "or" from the end of the name.
  std::vector<std::vector<char>> can(items.size() + 1, std::vector<char>(n + 2, 0));
  for (size_t i = items.size(); i-- > 0;) {
    const Item& item = items[i];
    for (size_t p = n + 1; p-- > 0;) {
      bool here = fits(item, p) && (item.kind == kEnd || can[i + 1][p + 1]);
      can[i][p] = here || (item.star && p < n && can[i][p + 1]);
    }
  }
  return can[0][0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\n');
  std::string mask = input.substr(0, split);
  std::string name = split == std::string::npos ? "" : input.substr(split + 1);
  bool matches = qm::zip::TInternalMask(mask).Matches(name);
  if (mask.size() * name.size() < 1000000 && matches != ReferenceMatch(mask, name)) {
    std::abort();
  }
  bool wild = mask.find_first_of("*?") != std::string::npos;
  bool dot_rule = !mask.empty() && mask.back() == '.' && name.find('.') == std::string::npos;
  if (!wild && !dot_rule && matches != qm::EqualsIgnoringAsciiCase(mask, name)) {
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
