#include "bench/update/updater_run.h"

#include "bench/update/game_folder.h"
#include "bench/update/install_check.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

// Runs of QuillMar.exe that did nothing because a game client of another
// program (a test suite's stand-in) was running at its start; retried.
int refused_runs = 0;
constexpr int kAttempts = 5;

}  // namespace

std::string RunUpdater(const fs::path& game,
                       const fs::path& log,
                       bool watch_memory,
                       double limit_seconds,
                       ChildRun* run) {
  for (int attempt = 1;; ++attempt) {
    if (!NoClientRunning()) {
      return "another program's _QuillMar_.exe kept running for 30 s";
    }
    *run = RunChild({(game / kLauncherName).string()}, game, log, watch_memory, limit_seconds);
    if (!run->started) {
      return "QuillMar.exe did not start";
    }
    if (run->timed_out) {
      return "QuillMar.exe still ran after " + std::to_string(static_cast<int>(limit_seconds)) +
             " s and was killed:\n" + Tail(log, 8);
    }
    if (run->exit_code != 0) {
      return "QuillMar.exe exited with " + std::to_string(run->exit_code) + ":\n" + Tail(log, 8);
    }
    // Silent from the start: it found a game running and left at once.
    std::error_code ec;
    if (fs::file_size(log, ec) == 0 && attempt < kAttempts) {
      ++refused_runs;
      continue;
    }
    if (!ClientWasStarted(game)) {
      return "QuillMar.exe did not start the game:\n" + Tail(log, 8);
    }
    return "";
  }
}

int RefusedRuns() {
  return refused_runs;
}

std::string CheckUpdaterInstall(const fs::path& game, const Release& release, int sample_every) {
  std::string problem = CheckRecorded(game, release);
  if (problem.empty()) {
    problem = CheckFiles(game, release, sample_every, {kLauncherName, kClientName});
  }
  return problem;
}

}  // namespace qm::bench
