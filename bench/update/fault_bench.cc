#include "bench/update/fault_bench.h"

#include <cstdio>
#include <string>
#include <vector>

#include "bench/common/stats.h"
#include "bench/update/fault_route.h"
#include "bench/update/fault_server.h"
#include "bench/update/game_folder.h"
#include "bench/update/timed_series.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kWireTarget = 1.05;
constexpr double kTimeTarget = 1.2;
constexpr double kFaultFreeLimitSeconds = 600;
// A faulted install may take this much longer than the round's fault-free
// one before it counts as hung, with a floor for the backoff waits.
constexpr double kFaultedLimitFactor = 10;
constexpr double kFaultedLimitFloorSeconds = 60;

struct Outcome {
  double seconds = 0;
  WireCount wire;
};

std::string Describe(const WireCount& wire) {
  char text[160];
  std::snprintf(text, sizeof(text),
                "%d connections (%d with Range, %d cut short), %.1f MB of body sent",
                wire.connections, wire.ranged, wire.short_ones, wire.body_bytes / 1e6);
  return text;
}

// One fresh install through a fault server of its own; empty when the
// release was installed, else what went wrong.
std::string Install(const Work& work,
                    const Release& release,
                    const FaultPlan& plan,
                    uint64_t cut_every,
                    double limit_seconds,
                    const std::string& name,
                    Outcome* outcome) {
  const fs::path game = work.games / name;
  if (!PrepareGameFolder(game, QM_BENCH_FAULTS_LAUNCHER)) {
    return "cannot prepare " + game.string();
  }
  Shell("sync");
  const fs::path wire_log = work.logs / (name + ".jsonl");
  std::string problem;
  ChildRun run;
  {
    FaultServer server;
    if (!server.Start(QM_BENCH_FAULT_PORT, QM_BENCH_PORT, cut_every, wire_log, &problem)) {
      return "fault server: " + problem;
    }
    problem = RunUpdater(game, work.logs / (name + ".log"), false, limit_seconds, &run);
  }
  if (!ReadWireCount(wire_log, &outcome->wire)) {
    return "the fault server's log " + wire_log.string() + " cannot be read";
  }
  if (problem.empty()) {
    problem = CheckUpdaterInstall(game, release, plan.sample_every);
  }
  outcome->seconds = run.seconds;
  std::error_code ec;
  fs::remove_all(game, ec);
  return problem.empty() ? "" : problem + "    on the wire: " + Describe(outcome->wire);
}

}  // namespace

bool FaultedInstalls(const Work& work, const Release& release, const FaultPlan& plan) {
  std::printf(
      "\n4. faults: fresh install through the fault server, every answer passed / cut after "
      "%.1f MB of body, %d interleaved rounds (load before: %s)\n",
      plan.cut_every / 1e6, plan.rounds, LoadAverage().c_str());
  std::string error;
  if (!RouteThroughFaultServer(work.www, release.manifest, &error)) {
    std::printf("  FAILED: %s\n", error.c_str());
    return false;
  }
  const double archive_bytes = static_cast<double>(release.archive_bytes());
  std::vector<Series> series = {{"QuillMar.exe through the fault server, no fault", {}},
                                {"QuillMar.exe, every answer cut", {}}};
  std::vector<double> wire[2];
  for (int round = 1; round <= plan.rounds; ++round) {
    const std::string n = std::to_string(round);
    for (int faulted = 0; faulted < 2; ++faulted) {
      const double limit =
          faulted == 0 ? kFaultFreeLimitSeconds
                       : kFaultedLimitFloorSeconds + kFaultedLimitFactor * series[0].seconds.back();
      Outcome outcome;
      const std::string problem =
          Install(work, release, plan, faulted == 0 ? 0 : plan.cut_every, limit,
                  (faulted == 0 ? "faults-none-" : "faults-cut-") + n, &outcome);
      if (!problem.empty()) {
        std::printf("  round %d, %s: FAILED: %s\n", round, series[faulted].name.c_str(),
                    problem.c_str());
        return false;
      }
      series[faulted].seconds.push_back(outcome.seconds);
      wire[faulted].push_back(outcome.wire.body_bytes / archive_bytes);
      std::printf("  round %d, %s: %.3f s, %s = %.3f x the archives\n", round,
                  series[faulted].name.c_str(), outcome.seconds, Describe(outcome.wire).c_str(),
                  wire[faulted].back());
    }
  }
  std::printf("  every install checked: %llu files by size, every %dth byte for byte, versions\n",
              static_cast<unsigned long long>(release.files()), plan.sample_every);
  PrintSeries(series);
  const double wire_ratio = Median(wire[1]);
  const double time_ratio = series[1].median() / series[0].median();
  std::printf("  %-40s %10s %10s\n", "medians", "no fault", "cut");
  std::printf("  %-40s %10.3f %10.3f   (target <= %.2f)%s\n", "bytes on the wire / archive bytes",
              Median(wire[0]), wire_ratio, kWireTarget,
              wire_ratio <= kWireTarget ? "" : "  MISSED");
  const bool time_met = !plan.judge_time || time_ratio <= kTimeTarget;
  std::printf("  %-40s %9.3fs %9.3fs   ratio %.2f (target <= %.2f)%s\n", "time", series[0].median(),
              series[1].median(), time_ratio, kTimeTarget,
              !plan.judge_time ? ", not judged at this size"
              : time_met       ? ""
                               : "  MISSED");
  std::printf("  archives: %.1f MB in %zu archives; load after: %s\n", archive_bytes / 1e6,
              release.archives.size(), LoadAverage().c_str());
  return wire_ratio <= kWireTarget && time_met;
}

}  // namespace qm::bench
