// Names between the operating system (UTF-8, or any bytes but "/" and NUL)
// and the core (code page 949, the characters it lacks escaped; see
// platform/path_escape.h). Separators are left as they are.
#pragma once

#include <string>
#include <string_view>

namespace qm::platform::posix {

// The core's bytes for a name the system gives. A byte that is no part of
// well-formed UTF-8 is carried as the escape of U+DC80-U+DCFF (the byte plus
// 0xDC00, a lone surrogate no UTF-8 name can hold), so such a file can still
// be opened, replaced and deleted by the name its folder listing gave.
std::string NameFromOs(std::string_view os_name);

// The inverse. A byte escape turns back into its byte only where the bytes
// it makes do not read as UTF-8 again, so that two names of the core never
// lead to one file. What the system cannot take (escapes of lone surrogates
// otherwise) shows as "?", as text that does not convert does.
std::string NameToOs(std::string_view bytes);

// The core's bytes as UTF-8 to show, escapes as the characters they stand
// for and "?" for what is no character.
std::string NameToShow(std::string_view bytes);

}  // namespace qm::platform::posix
