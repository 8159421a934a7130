// One compiled wildcard mask: "*" any run, "?" any one character, other
// characters literal (ASCII letters match either case).
#pragma once

#include <string>
#include <vector>

namespace qm::zip {

class TInternalMask {
 public:
  explicit TInternalMask(const std::string& mask);
  bool Matches(const std::string& name) const;

 private:
  enum class Kind { kLiteral, kAny, kEnd };
  struct Item {
    Kind kind;
    char ch;
    bool star;
  };
  bool Fits(const Item& item, const std::string& name, size_t pos) const;

  std::vector<Item> items_;
  bool dot_ending_ = false;
};

}  // namespace qm::zip
