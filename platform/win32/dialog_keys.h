// Win32 only: the open proxy dialog gets its keyboard handling (Tab, Enter,
// Escape) from every loop of the thread, not only from its own modal loop:
// a handler that runs inside the dialog may process messages itself.
#pragma once

#include <windows.h>

namespace qm::platform::win32 {

// The dialog whose keys the loops translate; nullptr when none is open.
void SetKeyboardDialog(HWND dialog);
HWND KeyboardDialog();
// true when msg was a key for the open dialog and has been handled.
bool TranslateDialogKeys(MSG* msg);

}  // namespace qm::platform::win32
