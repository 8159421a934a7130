#include <windows.h>

#include "platform/app_entry.h"

// The command line is read later through GetCommandLineW.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return qm::ApplicationMain();
}
