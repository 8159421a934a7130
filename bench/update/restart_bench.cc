#include "bench/update/restart_bench.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "bench/update/fault_route.h"
#include "bench/update/fault_server.h"
#include "bench/update/game_folder.h"
#include "bench/update/timed_series.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kRestartTarget = 0.12;
constexpr double kRunLimitSeconds = 600;

// The size of the biggest file directly in the game folder's Temp: the
// archive being received, whatever the launcher names it.
uint64_t BiggestInTemp(const fs::path& game) {
  uint64_t biggest = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator(game / "Temp", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::error_code size_error;
    const uintmax_t size = it->is_regular_file(size_error) ? it->file_size(size_error) : 0;
    if (!size_error && size > biggest) {
      biggest = size;
    }
  }
  return biggest;
}

// One start through a pass-all fault server logging to name.jsonl; kill_at
// (bytes in Temp, 0: never) ends it with SIGKILL. Empty when it ran as asked.
std::string Start(const Work& work,
                  const fs::path& game,
                  const std::string& name,
                  uint64_t kill_at,
                  ChildRun* run,
                  WireCount* wire) {
  const fs::path wire_log = work.logs / (name + ".jsonl");
  const fs::path log = work.logs / (name + ".log");
  std::string problem;
  {
    FaultServer server;
    if (!server.Start(QM_BENCH_FAULT_PORT, QM_BENCH_PORT, 0, wire_log, &problem)) {
      return "fault server: " + problem;
    }
    if (kill_at == 0) {
      problem = RunUpdater(game, log, false, kRunLimitSeconds, run);
    } else if (!NoClientRunning()) {
      problem = "another program's _QuillMar_.exe kept running for 30 s";
    } else {
      *run = RunChild({(game / kLauncherName).string()}, game, log, false, kRunLimitSeconds,
                      [&] { return BiggestInTemp(game) >= kill_at; });
      if (!run->killed) {
        problem = "its download was never seen at the kill point in Temp; it " +
                  std::string(run->timed_out ? "still ran after the time limit"
                                             : "exited with " + std::to_string(run->exit_code)) +
                  ":\n" + Tail(log, 8);
      }
    }
  }
  if (!ReadWireCount(wire_log, wire)) {
    return "the fault server's log " + wire_log.string() + " cannot be read";
  }
  return problem;
}

}  // namespace

bool KillAndRestart(const Work& work, const Release& release, const RestartPlan& plan) {
  const uint64_t archive = release.archive_bytes();
  std::printf(
      "\n5. kill and restart: an archive of %.1f MB, the launcher killed at %.0f %% of it in "
      "Temp, then started again (load before: %s)\n",
      archive / 1e6, plan.kill_fraction * 100, LoadAverage().c_str());
  std::string problem;
  if (release.archives.size() != 1) {
    std::printf("  FAILED: the release has %zu archives, not one\n", release.archives.size());
    return false;
  }
  if (!RouteThroughFaultServer(work.www, release.manifest, &problem)) {
    std::printf("  FAILED: %s\n", problem.c_str());
    return false;
  }
  const fs::path game = work.games / "restart";
  if (!PrepareGameFolder(game, QM_BENCH_FAULTS_LAUNCHER)) {
    std::printf("  FAILED: cannot prepare %s\n", game.c_str());
    return false;
  }
  Shell("sync");
  ChildRun first;
  WireCount first_wire;
  const auto kill_at = static_cast<uint64_t>(static_cast<double>(archive) * plan.kill_fraction);
  problem = Start(work, game, "restart-1", kill_at, &first, &first_wire);
  const uint64_t kept = BiggestInTemp(game);
  if (!problem.empty()) {
    std::printf("  first start: FAILED: %s\n", problem.c_str());
    return false;
  }
  std::printf(
      "  first start: killed after %.3f s with %.1f MB (%.1f %%) in Temp; %.1f MB of body "
      "sent\n",
      first.seconds, kept / 1e6, 100.0 * static_cast<double>(kept) / static_cast<double>(archive),
      first_wire.body_bytes / 1e6);
  ChildRun second;
  WireCount second_wire;
  problem = Start(work, game, "restart-2", 0, &second, &second_wire);
  if (problem.empty()) {
    problem = CheckUpdaterInstall(game, release, plan.sample_every);
  }
  const double ratio = static_cast<double>(second_wire.body_bytes) / static_cast<double>(archive);
  std::printf(
      "  second start: %.3f s, %d connections (%d with Range), %.1f MB of body sent = %.3f x "
      "the archive (target <= %.2f)%s\n",
      second.seconds, second_wire.connections, second_wire.ranged, second_wire.body_bytes / 1e6,
      ratio, kRestartTarget, problem.empty() && ratio <= kRestartTarget ? "" : "  MISSED");
  if (!problem.empty()) {
    std::printf("  second start: FAILED: %s\n", problem.c_str());
    return false;
  }
  std::printf(
      "  installed and checked, %s; load after: %s\n",
      plan.sample_every == 1 ? "every file byte for byte" : "a sample of the files byte for byte",
      LoadAverage().c_str());
  fs::remove_all(game);
  return ratio <= kRestartTarget;
}

}  // namespace qm::bench
