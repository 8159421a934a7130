// The program's entry. Each backend's main (POSIX) or wWinMain (Win32), in
// the qm_app_main object library, records the command line and calls
// ApplicationMain, which the launcher defines.
#pragma once

namespace qm {

int ApplicationMain();

}  // namespace qm
