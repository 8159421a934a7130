// What the launcher knows of itself and of the game folder before the update
// run: its own version from its version resource, and the proxy settings
// and versions that the installed copy (QuillMar.ini) records.
#pragma once

#include <string>

#include "update/launcher_state.h"

namespace qm::update {

// The launcher's FileVersion and ProductVersion (and the latter's fields)
// from the executable at exe_path; "?" where it has none.
void ReadLauncherVersions(LauncherState& state, const std::string& exe_path);

// The proxy settings, the versions and the data lists of the installed copy
// in state.AppDir. The splash picture's recorded version is read only when
// state.SplashVersion is still empty and the picture was shown
// (splash_loaded): a picture that could not be decoded is fetched again
// whatever version the file records.
void ReadInstalledState(LauncherState& state, bool splash_loaded);

}  // namespace qm::update
