// A start of QuillMar.exe in a game folder as the benchmark's parts run it,
// and the check of what it installed.
#pragma once

#include <filesystem>
#include <string>

#include "bench/update/child_process.h"
#include "bench/update/release.h"

namespace qm::bench {

// Where a benchmark run keeps its files, all below root.
struct Work {
  std::filesystem::path root;
  std::filesystem::path www;
  std::filesystem::path releases;
  std::filesystem::path games;
  std::filesystem::path logs;
};

// Runs QuillMar.exe of the game folder, killed after limit_seconds; empty
// when it ran to the start of the game, else what went wrong (with the end
// of its log). A run that did nothing because another program's game client
// was running is repeated (see RefusedRuns).
std::string RunUpdater(const std::filesystem::path& game,
                       const std::filesystem::path& log,
                       bool watch_memory,
                       double limit_seconds,
                       ChildRun* run);

// Runs of RunUpdater repeated so far.
int RefusedRuns();

// The files and the recorded versions of the release in the game folder,
// every sample_every-th file of an archive compared byte for byte; empty
// when all holds.
std::string CheckUpdaterInstall(const std::filesystem::path& game,
                                const Release& release,
                                int sample_every);

}  // namespace qm::bench
