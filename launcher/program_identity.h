// Pure rules of the launcher's identity: its folder, its title and the game
// client's command line.
#pragma once

#include <string>
#include <vector>

namespace qm {

// The folder of an executable path without its trailing "\" (one character
// only): "C:\QuillMar.exe" gives "C:", "C:\Games\QuillMar.exe" "C:\Games".
std::string AppDirFromExePath(const std::string& exe_path);

// The file name without folder, cut at its first ".", every character after
// the first in lower case: "Quillmar" for QuillMar.exe.
std::string ProgramTitle(const std::string& exe_path);

// The five tokens joined by single blanks, nothing quoted, empty tokens kept.
std::string BuildClientCommandLine(const std::string& update_marker,
                                   const std::string& server_bk,
                                   const std::string& server_bkp,
                                   const std::string& product_version,
                                   const std::vector<std::string>& launcher_arguments);

}  // namespace qm
