// Process start, the running game client, the command line, the clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace qm::platform {

// Starts a program the way ShellExecute does with no verb and show command 1:
// parameters is passed as one command-line string. true when it started.
bool StartProgram(const std::string& file, const std::string& parameters);

// Looks for a running game client (Win32: top-level window of class
// "TApplication" titled "_quillmar_"; POSIX: a process whose executable is
// named "_QuillMar_.exe"). When found, brings it to the front
// (ShowWindow 5, SetForegroundWindow) and returns true.
bool ActivateRunningClient();

// The program's arguments after the program name, code page 949: blanks
// separate them, double quotes group blanks into one and are removed.
std::vector<std::string> CommandLineArguments();

// Milliseconds since an arbitrary start, wrapping like GetTickCount.
uint32_t TickCount();
void SleepMs(uint32_t milliseconds);
LocalDateTime LocalNow();

}  // namespace qm::platform
