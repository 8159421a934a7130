// Conversions between the system's code page 949 byte strings and what the
// operating system shows (UTF-8 on POSIX terminals).
#pragma once

#include <string>

namespace qm::platform {

std::string Cp949ToUtf8(const std::string& text);
std::string Utf8ToCp949(const std::string& text);

}  // namespace qm::platform
