#include "bench/update/member_bench.h"

#include <cstdio>
#include <string>
#include <vector>

#include "bench/common/stats.h"
#include "bench/update/game_folder.h"
#include "bench/update/install_check.h"
#include "bench/update/timed_series.h"
#include "bench/update/wire_log.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kWireTarget = 1.1;
constexpr double kRunLimitSeconds = 600;

// The two ways of updating a round compares.
struct Kind {
  const char* name;
  const char* folder;  // below work.games, and the stem of its logs
  bool hashed;         // the manifest with section H
};
constexpr Kind kWhole = {"whole archives (manifest without H)", "whole", false};
constexpr Kind kMember = {"member-level (manifest with H)", "member", true};

// The release in the game folder, the changed files byte for byte.
std::string CheckInstall(const fs::path& game,
                         const MemberReleases& releases,
                         int which,
                         int sample_every) {
  std::string problem = CheckUpdaterInstall(game, releases.release[which], sample_every);
  for (const ChangedFile& file : releases.changed) {
    if (problem.empty() && !SameContent(game / file.game_path, file.source[which])) {
      problem = "the changed file " + file.game_path + " differs from release " +
                std::to_string(which + 1);
    }
  }
  return problem;
}

// One start of the launcher in kind's game folder with release which
// offered; empty when it installed that release, checked.
std::string Update(const Work& work,
                   const MemberReleases& releases,
                   int which,
                   const Kind& kind,
                   const std::string& log_name,
                   int sample_every,
                   ChildRun* run,
                   WireTally* wire) {
  std::string problem;
  if (!ServeMemberRelease(work, releases, which, kind.hashed, &problem)) {
    return problem;
  }
  const fs::path game = work.games / kind.folder;
  const fs::path& wire_log = work.wire_log;
  const uint64_t mark = WireMark(wire_log);
  Shell("sync");
  problem = RunUpdater(game, work.logs / (log_name + ".log"), false, kRunLimitSeconds, run);
  std::string wire_error;
  if (!TallyWire(wire_log, mark, wire, &wire_error)) {
    return problem.empty() ? wire_error : problem;
  }
  if (problem.empty()) {
    problem = CheckInstall(game, releases, which, sample_every);
  }
  return problem.empty() ? "" : problem + "    on the wire: " + Describe(*wire);
}

}  // namespace

bool MemberUpdates(const Work& work,
                   const MemberReleases& releases,
                   const MemberPlan& plan,
                   IntactInstall* intact) {
  *intact = IntactInstall();
  std::printf(
      "\n6. member-level update: release 1 -> 2 -> 1 ... (%zu files of %llu changed), whole "
      "archives against member-level, %d interleaved rounds (load before: %s)\n",
      releases.changed.size(), static_cast<unsigned long long>(releases.release[0].files()),
      plan.rounds, LoadAverage().c_str());
  MemberBytes expected[2];
  std::string error;
  for (int which = 0; which < 2; ++which) {
    if (!ExpectedMemberBytes(releases, which, &expected[which], &error)) {
      std::printf("  FAILED: %s\n", error.c_str());
      return false;
    }
    std::printf(
        "  expected for -> %d: %d changed members, %.3f MB with their local headers, + %d "
        "indexes %.1f kB = %.3f MB\n",
        which + 1, expected[which].members, expected[which].member_bytes / 1e6,
        expected[which].indexes, expected[which].index_bytes / 1e3, expected[which].total() / 1e6);
  }

  for (const Kind* kind : {&kMember, &kWhole}) {
    if (!PrepareGameFolder(work.games / kind->folder, QM_BENCH_WIRE_LAUNCHER)) {
      std::printf("  FAILED: cannot prepare %s\n", (work.games / kind->folder).c_str());
      return false;
    }
    ChildRun run;
    WireTally wire;
    const std::string problem =
        Update(work, releases, 0, *kind, std::string("member-fresh-") + kind->folder,
               plan.sample_every, &run, &wire);
    if (!problem.empty()) {
      std::printf("  fresh install of release 1, %s: FAILED: %s\n", kind->name, problem.c_str());
      return false;
    }
    std::printf("  fresh install of release 1, %s: %.3f s, %s\n", kind->name, run.seconds,
                Describe(wire).c_str());
  }
  *intact = {work.games / kMember.folder, 0};

  std::vector<Series> series = {{std::string("QuillMar.exe, ") + kWhole.name, {}},
                                {std::string("QuillMar.exe, ") + kMember.name, {}}};
  std::vector<double> wire_ratios;
  std::vector<double> whole_bytes;
  for (int round = 1; round <= plan.rounds; ++round) {
    const int which = round % 2;  // the release updated to: 2, 1, 2, ...
    // Which kind goes first alternates, so that neither always finds the
    // other's pages in the cache.
    const Kind* order[2] = {&kWhole, &kMember};
    if (round % 2 == 0) {
      std::swap(order[0], order[1]);
    }
    for (const Kind* kind : order) {
      const bool member = kind == &kMember;
      ChildRun run;
      WireTally wire;
      const std::string problem =
          Update(work, releases, which, *kind,
                 "member-" + std::string(kind->folder) + "-" + std::to_string(round),
                 plan.sample_every, &run, &wire);
      if (member) {
        intact->game.clear();
      }
      if (!problem.empty()) {
        std::printf("  round %d (-> %d), %s: FAILED: %s\n", round, which + 1, kind->name,
                    problem.c_str());
        return false;
      }
      if (member) {
        *intact = {work.games / kMember.folder, which};
      }
      series[member ? 1 : 0].seconds.push_back(run.seconds);
      const double ratio =
          static_cast<double>(wire.body_bytes) / static_cast<double>(expected[which].total());
      std::printf("  round %d (-> %d), %s: %.3f s, %s = %.3f x expected\n", round, which + 1,
                  kind->name, run.seconds, Describe(wire).c_str(), ratio);
      if (member && wire.whole_archives > 0) {
        std::printf(
            "  FAILED: the member-level update fetched %d whole archives (%.1f MB): this launcher "
            "does not update single members\n",
            wire.whole_archives, wire.whole_archive_bytes / 1e6);
        return false;
      }
      if (member) {
        wire_ratios.push_back(ratio);
      } else {
        whole_bytes.push_back(static_cast<double>(wire.body_bytes));
      }
    }
  }
  const std::string compared =
      plan.sample_every == 1
          ? "every file"
          : "every " + std::to_string(plan.sample_every) + "th and every changed file";
  std::printf("  every install checked: %llu files by size, %s byte for byte, versions\n",
              static_cast<unsigned long long>(releases.release[0].files()), compared.c_str());
  PrintSeries(series);
  const double wire_ratio = Median(wire_ratios);
  const bool wire_met = wire_ratio <= kWireTarget;
  std::printf(
      "  member-level bytes on the wire / (changed members + indexes), median: %.3f (target <= "
      "%.2f)%s\n",
      wire_ratio, kWireTarget, wire_met ? "" : "  MISSED");
  const double time_ratio = series[1].median() / series[0].median();
  const bool time_met = !plan.judge_time || time_ratio < 1.0;
  std::printf("  time member-level / whole archives, median: %.3f (%.1f x faster; target < 1)%s\n",
              time_ratio, 1.0 / time_ratio,
              !plan.judge_time ? ", not judged at this size"
              : time_met       ? ""
                               : "  MISSED");
  std::printf("  the whole-archive update sent %.1f MB (median); load after: %s\n",
              Median(whole_bytes) / 1e6, LoadAverage().c_str());
  return wire_met && time_met;
}

}  // namespace qm::bench
