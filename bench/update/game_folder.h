// A player's game folder before the first start: the updater and a stand-in
// for the game client, which only leaves a mark that it was started.
#pragma once

#include <filesystem>
#include <string>

namespace qm::bench {

inline constexpr char kLauncherName[] = "QuillMar.exe";
inline constexpr char kClientName[] = "_QuillMar_.exe";

// Creates folder with a copy of launcher as QuillMar.exe and the stand-in
// client; false when something could not be written.
bool PrepareGameFolder(const std::filesystem::path& folder, const std::filesystem::path& launcher);

// Waits (at most 5 s) for the stand-in's mark, then removes it: the updater
// ended its run by starting the game.
bool ClientWasStarted(const std::filesystem::path& folder);

// Waits (at most 30 s) until no game client runs on the machine as the
// updater looks for one: it would take it for a running game and do nothing.
bool NoClientRunning();

// Makes this process the reaper of orphans below it. The updater starts the
// game and exits without waiting for it, so the stand-in is orphaned; reaped
// here, its zombies do not pile up over hundreds of runs.
void AdoptOrphans();

}  // namespace qm::bench
