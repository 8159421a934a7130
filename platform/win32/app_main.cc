#include <windows.h>

#include "platform/app_entry.h"
#include "platform/win32/system_library.h"

// The command line is read later through GetCommandLineW.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  qm::platform::win32::RestrictLibrarySearch();
  return qm::ApplicationMain();
}
