#include "bench/update/verify_bench.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/update/game_folder.h"
#include "bench/update/install_check.h"
#include "bench/update/timed_series.h"
#include "bench/update/wire_log.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr double kThroughputTarget = 0.5;  // GB/s
constexpr double kOpensslTarget = 1.2;
constexpr double kRunLimitSeconds = 600;
// How long a verify may take to start the game it must not start.
constexpr double kClientWaitSeconds = 0.5;

// One `QuillMar.exe /verify`; empty when it ran as asked. intact: nothing
// but the manifest and the indexes may be fetched.
std::string Verify(const Work& work,
                   const fs::path& game,
                   const Release& release,
                   const std::string& name,
                   bool intact,
                   ChildRun* run,
                   WireTally* wire) {
  if (!NoClientRunning()) {
    return "another program's _QuillMar_.exe kept running for 30 s";
  }
  const fs::path log = work.logs / (name + ".log");
  const uint64_t mark = WireMark(work.wire_log);
  *run = RunChild({(game / kLauncherName).string(), "/verify"}, game, log, false, kRunLimitSeconds);
  std::string problem;
  if (!TallyWire(work.wire_log, mark, wire, &problem)) {
    return problem;
  }
  if (!run->started) {
    return "QuillMar.exe did not start";
  }
  if (run->timed_out) {
    return "QuillMar.exe /verify still ran after " +
           std::to_string(static_cast<int>(kRunLimitSeconds)) + " s and was killed:\n" +
           Tail(log, 8);
  }
  if (ClientWasStarted(game, kClientWaitSeconds)) {
    return "it started the game: this launcher took /verify for a normal start\n" + Tail(log, 8);
  }
  if (run->exit_code != 0) {
    return "QuillMar.exe /verify exited with " + std::to_string(run->exit_code) + ":\n" +
           Tail(log, 8);
  }
  // The launcher's archive has an index too, which a verify may check.
  if (wire->indexes < static_cast<int>(release.archives.size())) {
    return "it fetched " + std::to_string(wire->indexes) + " indexes for " +
           std::to_string(release.archives.size()) + " archives: it did not check every one";
  }
  if (wire->whole_archives > 0 || (intact && wire->ranged_archives > 0)) {
    return "it fetched archive bytes from an intact install: " + Describe(*wire);
  }
  return "";
}

// openssl over the release's files in the game folder; empty when it
// printed one digest per file.
std::string Openssl(const Work& work,
                    const fs::path& game,
                    const std::vector<std::string>& files,
                    const std::string& name,
                    ChildRun* run) {
  std::vector<std::string> argv = {"openssl", "dgst", "-sha256"};
  argv.insert(argv.end(), files.begin(), files.end());
  const fs::path log = work.logs / (name + ".log");
  *run = RunChild(argv, game, log, false, kRunLimitSeconds);
  if (run->exit_code != 0) {
    return "openssl exited with " + std::to_string(run->exit_code) + ":\n" + Tail(log, 4);
  }
  std::ifstream in(log);
  size_t lines = 0;
  for (std::string line; std::getline(in, line);) {
    lines += line.starts_with("SHA2-256(") || line.starts_with("SHA256(") ? 1 : 0;
  }
  return lines == files.size() ? ""
                               : "openssl printed " + std::to_string(lines) + " digests for " +
                                     std::to_string(files.size()) + " files";
}

// One byte of file inverted, its modification time put back.
bool FlipByte(const fs::path& file) {
  std::error_code ec;
  const auto mtime = fs::last_write_time(file, ec);
  const uintmax_t size = fs::file_size(file, ec);
  if (ec || size == 0) {
    return false;
  }
  std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
  char byte = 0;
  io.seekg(static_cast<std::streamoff>(size / 2));
  io.get(byte);
  io.seekp(static_cast<std::streamoff>(size / 2));
  io.put(static_cast<char>(~byte));
  io.close();
  fs::last_write_time(file, mtime, ec);
  return !io.fail() && !ec;
}

// A flipped byte and a deleted file, then a verify: it must restore both,
// fetching only ranges.
bool Repair(const Work& work, const MemberReleases& releases, const IntactInstall& install) {
  const Release& release = releases.release[install.release];
  if (releases.changed.size() < 2) {
    std::printf("  repair: FAILED: fewer than two changed files to damage\n");
    return false;
  }
  const ChangedFile& flipped = releases.changed[0];
  const ChangedFile& deleted = releases.changed[1];
  std::error_code ec;
  fs::remove(install.game / deleted.game_path, ec);
  if (!FlipByte(install.game / flipped.game_path) || ec) {
    std::printf("  repair: FAILED: cannot damage %s\n", install.game.c_str());
    return false;
  }
  ChildRun run;
  WireTally wire;
  std::string problem = Verify(work, install.game, release, "verify-repair", false, &run, &wire);
  if (problem.empty() && wire.ranged_archives == 0) {
    problem = "it fetched no member: " + Describe(wire);
  }
  if (problem.empty()) {
    problem = CheckUpdaterInstall(install.game, release, 20);
  }
  for (const ChangedFile* file : {&flipped, &deleted}) {
    if (problem.empty() &&
        !SameContent(install.game / file->game_path, file->source[install.release])) {
      problem = file->game_path + " was not restored";
    }
  }
  if (!problem.empty()) {
    std::printf("  repair of a flipped byte (%s) and a deleted file (%s): FAILED: %s\n",
                flipped.game_path.c_str(), deleted.game_path.c_str(), problem.c_str());
    return false;
  }
  std::printf(
      "  repair of a flipped byte (mtime put back) and a deleted file: %.3f s, %s; both "
      "restored, install checked\n%s",
      run.seconds, Describe(wire).c_str(), Tail(work.logs / "verify-repair.log", 4).c_str());
  return true;
}

}  // namespace

bool VerifyInstall(const Work& work,
                   const MemberReleases& releases,
                   const IntactInstall& install,
                   const VerifyPlan& plan) {
  std::printf(
      "\n7. verify: QuillMar.exe /verify on an intact install, hot cache, against "
      "openssl dgst -sha256, %d interleaved rounds (load before: %s)\n",
      plan.rounds, LoadAverage().c_str());
  if (install.game.empty()) {
    std::printf("  FAILED: part 6 left no intact install to verify\n");
    return false;
  }
  const Release& release = releases.release[install.release];
  std::string problem;
  if (!ServeMemberRelease(work, releases, install.release, true, &problem)) {
    std::printf("  FAILED: %s\n", problem.c_str());
    return false;
  }
  std::vector<std::string> files;
  for (const ReleaseArchive& archive : release.archives) {
    for (const ReleaseFile& file : archive.files) {
      files.push_back(file.path);
    }
  }
  const double bytes = static_cast<double>(release.bytes());
  std::vector<Series> series = {{"QuillMar.exe /verify", {}}, {"openssl dgst -sha256", {}}};
  // Round 0 warms the cache and is not counted.
  for (int round = 0; round <= plan.rounds; ++round) {
    const std::string n = std::to_string(round);
    for (int k = 0; k < 2; ++k) {
      const bool verify = (k + round) % 2 == 0;
      ChildRun run;
      WireTally wire;
      problem = verify ? Verify(work, install.game, release, "verify-" + n, true, &run, &wire)
                       : Openssl(work, install.game, files, "openssl-" + n, &run);
      if (!problem.empty()) {
        std::printf("  round %d, %s: FAILED: %s\n", round, verify ? "verify" : "openssl",
                    problem.c_str());
        return false;
      }
      if (round == 0 && verify) {
        std::printf("  warm-up verify: %.3f s, %s; its last lines:\n%s", run.seconds,
                    Describe(wire).c_str(), Tail(work.logs / "verify-0.log", 4).c_str());
      }
      if (round > 0) {
        series[verify ? 0 : 1].seconds.push_back(run.seconds);
      }
    }
  }
  PrintSeries(series);
  const double throughput = bytes / 1e9 / series[0].median();
  const double ratio = series[0].median() / series[1].median();
  const bool throughput_met = !plan.judge_speed || throughput >= kThroughputTarget;
  const bool ratio_met = !plan.judge_speed || ratio <= kOpensslTarget;
  const char* unjudged = ", not judged at this size";
  std::printf("  verify: %zu files, %.1f MB in %.3f s (median): %.2f GB/s (target >= %.1f)%s\n",
              files.size(), bytes / 1e6, series[0].median(), throughput, kThroughputTarget,
              !plan.judge_speed ? unjudged
              : throughput_met  ? ""
                                : "  MISSED");
  std::printf(
      "  openssl over the same files: %.2f GB/s; time verify / openssl, median: %.3f "
      "(target <= %.1f)%s\n",
      bytes / 1e9 / series[1].median(), ratio, kOpensslTarget,
      !plan.judge_speed ? unjudged
      : ratio_met       ? ""
                        : "  MISSED");
  const bool repaired = Repair(work, releases, install);
  std::printf("  load after: %s\n", LoadAverage().c_str());
  return throughput_met && ratio_met && repaired;
}

}  // namespace qm::bench
