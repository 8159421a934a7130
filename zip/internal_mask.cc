#include "zip/internal_mask.h"

#include "util/ascii.h"

namespace qm::zip {

TInternalMask::TInternalMask(const std::string& mask) {
  bool star = false;
  for (char c : mask) {
    if (c == '*') {
      star = true;
    } else if (c == '?') {
      // "*?" is the same as "*": the star mark alone stays.
      if (!star) {
        items_.push_back({Kind::kAny, 0, false});
      }
    } else {
      items_.push_back({Kind::kLiteral, AsciiUpper(c), star});
      star = false;
    }
  }
  items_.push_back({Kind::kEnd, 0, star});
  dot_ending_ = !mask.empty() && mask.back() == '.';
}

bool TInternalMask::Fits(const Item& item, const std::string& name, size_t pos) const {
  switch (item.kind) {
    case Kind::kLiteral:
      return pos < name.size() && AsciiUpper(name[pos]) == item.ch;
    case Kind::kAny:
      return pos < name.size();
    case Kind::kEnd:
      return pos == name.size();
  }
  return false;
}

bool TInternalMask::Matches(const std::string& input) const {
  std::string name = input;
  if (dot_ending_ && name.find('.') == std::string::npos) {
    name += '.';
  }
  // Only the latest star's backtrack point is kept. The stretch between two
  // stars has a fixed length, so placing it at its first fit never loses a
  // match; retrying earlier stars as well would find nothing new and costs
  // time growing as the name length to the power of the star count.
  struct Point {
    size_t pos;
    size_t item;
  };
  Point resume{0, 0};
  bool can_resume = false;
  size_t pos = 0;
  size_t i = 0;
  for (;;) {
    const Item& item = items_[i];
    if (item.star) {
      if (item.kind == Kind::kEnd) {
        pos = name.size();
      } else {
        while (pos < name.size() && !Fits(item, name, pos)) {
          ++pos;
        }
        if (pos < name.size()) {
          resume = {pos + 1, i};
          can_resume = true;
        }
      }
    }
    if (Fits(item, name, pos)) {
      if (item.kind == Kind::kEnd) {
        return true;
      }
      ++i;
      ++pos;
      continue;
    }
    if (!can_resume) {
      return false;
    }
    pos = resume.pos;
    i = resume.item;
    can_resume = false;
  }
}

}  // namespace qm::zip
