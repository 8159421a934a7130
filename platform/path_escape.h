// Backend helper, not an interface of the core: names the system gives
// (folders, files, arguments) travel through the core as code page 949
// bytes, but a folder may be named in any script. Each UTF-16 unit the code
// page lacks is carried as a four-byte escape made of two double-byte pairs
// that code page 949 leaves unassigned (leads 0xC8 to 0xD7, trails 0x81 to
// 0xA0). No code page 949 text contains them, they hold no ASCII byte ("\",
// "/", "." and blanks keep their meaning), and a byte string walker of the
// code page steps over them as two whole characters. Both backends make the
// same bytes for the same name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::platform::path_escape {

inline constexpr size_t kEscapeSize = 4;

// The backend's code page 949.
class CodePage {
 public:
  virtual ~CodePage() = default;
  // Whether the code page has unit as a character that converts back to
  // the same unit. Never for a surrogate.
  virtual bool Has(char16_t unit) const = 0;
  // Code page bytes of units that it all Has.
  virtual std::string Encode(std::u16string_view units) const = 0;
};

// The backend's own, for Escape and Split.
const CodePage& SystemCodePage();

void AppendEscape(char16_t unit, std::string* out);
// The unit escaped at the start of bytes, by the bytes' shape alone.
bool ReadEscape(std::string_view bytes, char16_t* unit);

// name as code page 949 bytes, each unit the code page lacks escaped.
std::string Escape(std::u16string_view name, const CodePage& code_page);

// A run of code page text, or one escape.
struct Piece {
  std::string_view bytes;
  bool escaped = false;
  char16_t unit = 0;  // when escaped
};
// The inverse's first step: bytes as text and escapes, in order. An escape
// of a unit the code page has is text, so no "\" or "." can hide in one, and
// no escape starts at a double-byte character's trail byte.
std::vector<Piece> Split(std::string_view bytes, const CodePage& code_page);

}  // namespace qm::platform::path_escape
