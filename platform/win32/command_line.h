// Win32 only: splitting a command line the way the program's arguments are
// read (blanks and control characters separate, double quotes group and
// are dropped), without the program name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::platform::win32 {

std::vector<std::wstring> ParseArguments(std::wstring_view command_line);

}  // namespace qm::platform::win32
