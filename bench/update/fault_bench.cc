#include "bench/update/fault_bench.h"

#include <cstdio>
#include <fstream>
#include <iterator>
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

// The kinds of install of a round: the targets compare the first two; the
// third shows how much of the second's time is the waits before retries.
struct Kind {
  const char* name;
  const char* file;  // stem of its logs
  bool cut;
  bool no_retry_delay;  // [Transfer] RetryDelay=0 in the installed copy
};
constexpr Kind kKinds[] = {
    {"no fault", "faults-none-", false, false},
    {"every answer cut", "faults-cut-", true, false},
    {"every answer cut, RetryDelay=0", "faults-cut-nodelay-", true, true},
};

// One fresh install through a fault server of its own; empty when the
// release was installed, else what went wrong.
std::string Install(const Work& work,
                    const Release& release,
                    const FaultPlan& plan,
                    const Kind& kind,
                    double limit_seconds,
                    const std::string& name,
                    Outcome* outcome) {
  const fs::path game = work.games / name;
  if (!PrepareGameFolder(game, QM_BENCH_FAULTS_LAUNCHER)) {
    return "cannot prepare " + game.string();
  }
  if (kind.no_retry_delay) {
    std::ofstream ini(game / "QuillMar.ini", std::ios::binary);
    ini << "[Transfer]\r\nRetryDelay=0\r\n";
    if (!ini.flush()) {
      return "cannot write " + (game / "QuillMar.ini").string();
    }
  }
  const uint64_t cut_every = kind.cut ? plan.cut_every : 0;
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
  std::vector<Series> series;
  for (const Kind& kind : kKinds) {
    series.push_back({std::string("QuillMar.exe, ") + kind.name, {}});
  }
  std::vector<double> wire[std::size(kKinds)];
  for (int round = 1; round <= plan.rounds; ++round) {
    for (size_t k = 0; k < std::size(kKinds); ++k) {
      const double limit =
          k == 0 ? kFaultFreeLimitSeconds
                 : kFaultedLimitFloorSeconds + kFaultedLimitFactor * series[0].seconds.back();
      Outcome outcome;
      const std::string problem = Install(work, release, plan, kKinds[k], limit,
                                          kKinds[k].file + std::to_string(round), &outcome);
      if (!problem.empty()) {
        std::printf("  round %d, %s: FAILED: %s\n", round, series[k].name.c_str(), problem.c_str());
        return false;
      }
      series[k].seconds.push_back(outcome.seconds);
      wire[k].push_back(outcome.wire.body_bytes / archive_bytes);
      std::printf("  round %d, %s: %.3f s, %s = %.3f x the archives\n", round,
                  series[k].name.c_str(), outcome.seconds, Describe(outcome.wire).c_str(),
                  wire[k].back());
    }
  }
  std::printf("  every install checked: %llu files by size, %s byte for byte, versions\n",
              static_cast<unsigned long long>(release.files()),
              plan.sample_every == 1 ? "all" : "a sample");
  PrintSeries(series);
  const double wire_ratio = Median(wire[1]);
  const double time_ratio = series[1].median() / series[0].median();
  std::printf("  %-34s %10s %10s %14s\n", "medians", "no fault", "cut", "cut, no delay");
  std::printf("  %-34s %10.3f %10.3f %14.3f   (target for cut <= %.2f)%s\n",
              "bytes on the wire / archive bytes", Median(wire[0]), wire_ratio, Median(wire[2]),
              kWireTarget, wire_ratio <= kWireTarget ? "" : "  MISSED");
  std::printf("  %-34s %9.3fs %9.3fs %13.3fs\n", "time", series[0].median(), series[1].median(),
              series[2].median());
  const bool time_met = !plan.judge_time || time_ratio <= kTimeTarget;
  std::printf("  time cut / no fault: %.2f (target <= %.2f)%s; with RetryDelay=0: %.2f\n",
              time_ratio, kTimeTarget,
              !plan.judge_time ? ", not judged at this size"
              : time_met       ? ""
                               : "  MISSED",
              series[2].median() / series[0].median());
  std::printf("  archives: %.1f MB in %zu archives; load after: %s\n", archive_bytes / 1e6,
              release.archives.size(), LoadAverage().c_str());
  return wire_ratio <= kWireTarget && time_met;
}

}  // namespace qm::bench
