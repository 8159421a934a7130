// Win32 only: the system's own libraries come from the system folder alone.
// The program's folder is searched first by default, and a launcher a player
// just saved sits in a Downloads folder that may hold any DLL.
#pragma once

#include <windows.h>

namespace qm::platform::win32 {

// Makes the system folder the only default place of every later load,
// before anything else runs.
void RestrictLibrarySearch();

// Loads a library of the system (name only, "version.dll") from the system
// folder; nullptr with GetLastError set when it cannot.
HMODULE LoadSystemLibrary(const wchar_t* name);

}  // namespace qm::platform::win32
