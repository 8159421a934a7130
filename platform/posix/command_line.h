// The program's command line, recorded by main for CommandLineArguments and
// ExecutablePath.
#pragma once

#include <string>
#include <vector>

namespace qm::platform::posix {

void RecordCommandLine(int argc, char** argv);
const std::string& ProgramName();
// The arguments after the program name, as the shell split them (UTF-8).
const std::vector<std::string>& RecordedArguments();

}  // namespace qm::platform::posix
