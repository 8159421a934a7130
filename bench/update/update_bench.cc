// update_bench DIR [faults-smoke]
// QuillMar.exe built with the base URL http://127.0.0.1:<port>, against
// nginx on that port, beside the same work done by curl and Info-ZIP. The
// releases are release folders published by qmpublish, as a publisher ships
// them; the launcher without a key gets the manifest without section H, so
// that it checks no hashes.
//  1. fresh install of a release of about 200 MB (8 archives, 4,700 files)
//     into a game folder holding only QuillMar.exe and the game's stand-in,
//     against a shell pipeline that fetches the manifest and each archive
//     with "curl -o" and unpacks it with "unzip -o -q" (target: ratio at
//     most 1.0, aim 0.8), and beside a launcher built with a key installing
//     the same archives from the signed manifest, which lists their sizes
//     and SHA-256 (target: at most 5 % slower); every install is checked
//     afterwards against the release folder and the versions published;
//  2. a start with everything up to date against curl fetching the manifest;
//  3. peak memory of QuillMar.exe installing the release of part 1 and an
//     archive of more than 1 GiB (target: at most 16 MiB for any archive
//     size), beside its peak while starting with nothing to do, with the
//     anonymous and file pages of the highest sample;
//  4. the release of part 1 installed through tests/harness/fault_server.py
//     (a launcher built for that server's port), every answer passed
//     against every answer cut after 20 MB of body: bytes on the wire from
//     the server's log / archive bytes (target at most 1.05) and time cut /
//     passed (target at most 1.2), medians of interleaved rounds;
//  5. the big archive of part 3: the launcher killed with SIGKILL when its
//     partial file in Temp holds 90 % of it, then started again: bytes sent
//     to the second start / archive bytes (target at most 0.12).
// Parts 4 and 5 end with a failure, in bounded time, when the launcher does
// not resume. "faults-smoke" runs only them, at a twentieth of the sizes,
// in some seconds: every install must complete and the byte targets hold.
// Rounds are interleaved, medians reported. The updater runs without a
// terminal (stdin from /dev/null), so its console prints status lines, which
// go to a log per run. Everything is written below DIR/qm-update-bench
// (some GB at the peak) and removed at the end.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/update/child_process.h"
#include "bench/update/fault_bench.h"
#include "bench/update/game_folder.h"
#include "bench/update/install_check.h"
#include "bench/update/nginx_server.h"
#include "bench/update/publication.h"
#include "bench/update/release.h"
#include "bench/update/restart_bench.h"
#include "bench/update/timed_series.h"
#include "bench/update/updater_run.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 7;
constexpr double kRunLimitSeconds = 600;
// Files of each archive compared byte for byte after a timed install; the
// rest are checked by size. The big install is compared in full.
constexpr int kSampleEvery = 20;
// The connect window waits this long after "Connected" before it starts the
// game, on every start.
constexpr double kClientPauseSeconds = 0.2;
// Peak memory of the launcher while it installs, whatever the archive size.
constexpr double kMemoryTargetMiB = 16;
// Two members of this size make the big archive of more than 1 GiB.
constexpr uint64_t kBigMemberBytes = uint64_t{640} << 20;

std::string BaseUrl() {
  return "http://127.0.0.1:" + std::to_string(QM_BENCH_PORT);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Curl(const std::string& url, const std::string& file) {
  return "curl -s -S -f --noproxy '*' -o " + Quote(file) + " " + Quote(url);
}

// The peer: the same documents, one at a time, each archive unpacked into
// the folder and deleted, as the updater does.
std::string PeerScript(const Release& release, bool sync) {
  std::string script = "set -e\n" + Curl(BaseUrl() + "/QuillMar/QuillMar.ini", "server.ini") +
                       "\nrm -f server.ini\n";
  for (const ReleaseArchive& archive : release.archives) {
    const std::string name = fs::path(archive.url_path).filename().string();
    script += Curl(BaseUrl() + "/" + archive.url_path, name) + "\nunzip -o -q " + Quote(name) +
              "\nrm -f " + Quote(name) + "\n";
  }
  if (sync) {
    script += "sync\n";
  }
  return script;
}

// A start in an installed game folder: it must change nothing and fetch
// nothing but the manifest.
std::string RunUpToDate(const fs::path& game,
                        const fs::path& log,
                        bool watch_memory,
                        ChildRun* run) {
  const std::string ini_before = ReadFile(game / "QuillMar.ini");
  Shell("sync");
  std::string problem = RunUpdater(game, log, watch_memory, kRunLimitSeconds, run);
  if (problem.empty() && ReadFile(game / "QuillMar.ini") != ini_before) {
    problem = "QuillMar.ini changed";
  }
  if (problem.empty() && ReadFile(log).find("Downloading") != std::string::npos) {
    problem = "it downloaded an archive:\n" + Tail(log, 8);
  }
  return problem;
}

// 1. Fresh installs; the updater's game folders stay for the second part.
bool FreshInstalls(const Work& work, const Release& release, std::vector<fs::path>* installed) {
  const fs::path launcher = QM_BENCH_LAUNCHER;
  std::vector<Series> series = {{"QuillMar.exe", {}},
                                {"curl -o + unzip -o -q", {}},
                                {"curl -o + unzip -o -q, then sync", {}},
                                {"QuillMar.exe with a key: signature + SHA-256", {}}};
  const std::string peer_scripts[] = {PeerScript(release, false), PeerScript(release, true)};
  std::printf("\n1. fresh install, %d interleaved rounds (load before: %s)\n", kRounds,
              LoadAverage().c_str());
  for (int round = 1; round <= kRounds; ++round) {
    const std::string n = std::to_string(round);
    const fs::path game = work.games / ("updater-" + n);
    if (!PrepareGameFolder(game, launcher)) {
      std::printf("  cannot prepare %s\n", game.c_str());
      return false;
    }
    // The previous round's files reach the disk before the clock starts.
    Shell("sync");
    ChildRun run;
    std::string problem = RunUpdater(game, work.logs / ("fresh-updater-" + n + ".log"), false,
                                     kRunLimitSeconds, &run);
    if (problem.empty()) {
      problem = CheckUpdaterInstall(game, release, kSampleEvery);
    }
    if (!problem.empty()) {
      std::printf("  round %d, QuillMar.exe: %s\n", round, problem.c_str());
      return false;
    }
    series[0].seconds.push_back(run.seconds);
    installed->push_back(game);

    const fs::path signed_game = work.games / ("signed-" + n);
    if (!PrepareGameFolder(signed_game, QM_BENCH_SIGNED_LAUNCHER)) {
      std::printf("  cannot prepare %s\n", signed_game.c_str());
      return false;
    }
    Shell("sync");
    problem = RunUpdater(signed_game, work.logs / ("fresh-signed-" + n + ".log"), false,
                         kRunLimitSeconds, &run);
    if (problem.empty()) {
      problem = CheckUpdaterInstall(signed_game, release, kSampleEvery);
    }
    if (!problem.empty()) {
      std::printf("  round %d, QuillMar.exe with a key: %s\n", round, problem.c_str());
      return false;
    }
    series[3].seconds.push_back(run.seconds);
    fs::remove_all(signed_game);

    for (int p = 0; p < 2; ++p) {
      const fs::path folder = work.games / ("peer-" + std::to_string(p) + "-" + n);
      fs::create_directories(folder);
      Shell("sync");
      const fs::path log = work.logs / ("fresh-peer-" + std::to_string(p) + "-" + n + ".log");
      ChildRun peer =
          RunChild({"/bin/sh", "-c", peer_scripts[p]}, folder, log, false, kRunLimitSeconds);
      problem = peer.exit_code == 0
                    ? CheckFiles(folder, release, kSampleEvery, {})
                    : "exit code " + std::to_string(peer.exit_code) + ":\n" + Tail(log, 8);
      if (!problem.empty()) {
        std::printf("  round %d, %s: %s\n", round, series[1 + p].name.c_str(), problem.c_str());
        return false;
      }
      series[1 + p].seconds.push_back(peer.seconds);
    }
    std::printf(
        "  round %d: QuillMar.exe %.3f s, with a key %.3f s, curl + unzip %.3f s, with sync "
        "%.3f s\n",
        round, series[0].seconds.back(), series[3].seconds.back(), series[1].seconds.back(),
        series[2].seconds.back());
  }
  std::printf(
      "  every install checked: %llu files of %.1f MB by size, every %dth of an archive byte for "
      "byte, recorded versions\n",
      static_cast<unsigned long long>(release.files()), release.bytes() / 1e6, kSampleEvery);
  PrintSeries(series);
  const double archive_mb = release.archive_bytes() / 1e6;
  std::printf("  QuillMar.exe: %.0f MB of archives in %.3f s (median), %.0f MB/s\n", archive_mb,
              series[0].median(), archive_mb / series[0].median());
  const double ratio = series[0].median() / series[1].median();
  std::printf("  ratio QuillMar.exe / (curl + unzip), median: %.2f (target <= 1.00, aim 0.80)%s\n",
              ratio, ratio <= 1.0 ? "" : "  MISSED");
  std::printf("  ratio QuillMar.exe / (curl + unzip), best:   %.2f\n",
              series[0].best() / series[1].best());
  std::printf("  ratio QuillMar.exe / (curl + unzip, then sync), median: %.2f\n",
              series[0].median() / series[2].median());
  const double integrity = series[3].median() / series[0].median();
  std::printf(
      "  cost of integrity, QuillMar.exe with a key / without, median: %.3f (target <= 1.05)%s\n",
      integrity, integrity <= 1.05 ? "" : "  MISSED");
  std::printf("  cost of integrity, best: %.3f\n", series[3].best() / series[0].best());
  std::printf("  load after: %s\n", LoadAverage().c_str());
  return ratio <= 1.0 && integrity <= 1.05;
}

// 2. Starts with nothing to do, in the folders the first part installed.
bool UpToDateStarts(const Work& work, const std::vector<fs::path>& games, const Release& release) {
  std::vector<Series> series = {{"QuillMar.exe, everything current", {}},
                                {"curl -o of the manifest", {}}};
  std::printf("\n2. up-to-date start, %zu interleaved rounds (load before: %s)\n", games.size(),
              LoadAverage().c_str());
  int round = 0;
  for (const fs::path& game : games) {
    const std::string n = std::to_string(++round);
    ChildRun run;
    const std::string problem =
        RunUpToDate(game, work.logs / ("current-updater-" + n + ".log"), false, &run);
    if (!problem.empty()) {
      std::printf("  round %d, QuillMar.exe: %s\n", round, problem.c_str());
      return false;
    }
    series[0].seconds.push_back(run.seconds);

    const fs::path copy = work.games / ("manifest-" + n + ".ini");
    ChildRun curl =
        RunChild({"curl", "-s", "-S", "-f", "--noproxy", "*", "-o", copy.string(),
                  BaseUrl() + "/QuillMar/QuillMar.ini"},
                 work.games, work.logs / ("current-curl-" + n + ".log"), false, kRunLimitSeconds);
    if (curl.exit_code != 0 || ReadFile(copy) != release.manifest) {
      std::printf("  round %d, curl: the manifest did not arrive\n", round);
      return false;
    }
    series[1].seconds.push_back(curl.seconds);
  }
  PrintSeries(series);
  const double updater = series[0].median();
  std::printf("  ratio QuillMar.exe / curl, median: %.1f\n", updater / series[1].median());
  std::printf(
      "  of QuillMar.exe's %.3f s, %.3f s is the fixed pause before the game starts; "
      "without it: %.3f s, ratio %.1f\n",
      updater, kClientPauseSeconds, updater - kClientPauseSeconds,
      (updater - kClientPauseSeconds) / series[1].median());
  std::printf("  load after: %s\n", LoadAverage().c_str());
  return true;
}

const char* Verdict(bool met) {
  return met ? "met" : "MISSED or FAILED";
}

std::string Breakdown(const ChildRun& run) {
  char text[128];
  std::snprintf(text, sizeof(text),
                " (at the highest sample: %.1f MiB heap and stacks, %.1f MiB files)",
                run.rss_anon_kib / 1024.0, run.rss_file_kib / 1024.0);
  return text;
}

// A fresh install in a new game folder with its peak memory watched; empty
// when it installed the whole release.
std::string WatchedInstall(const fs::path& game,
                           const fs::path& log,
                           const Release& release,
                           int sample_every,
                           ChildRun* run) {
  if (!PrepareGameFolder(game, QM_BENCH_LAUNCHER)) {
    return "cannot prepare " + game.string();
  }
  Shell("sync");
  std::string problem = RunUpdater(game, log, true, kRunLimitSeconds, run);
  return problem.empty() ? CheckUpdaterInstall(game, release, sample_every) : problem;
}

// The release of one big archive that parts 3 and 5 install, laid out from
// members of member_bytes and published; false when it could not be.
bool PublishBigRelease(const Work& work, uint64_t member_bytes, Release* big) {
  std::string error;
  const fs::path folder = work.releases / "big";
  const auto laid = std::chrono::steady_clock::now();
  if (!LayOutBigRelease(folder, QM_BENCH_LAUNCHER, member_bytes, &error)) {
    std::printf("  the big release could not be laid out: %s\n", error.c_str());
    return false;
  }
  const double laid_seconds = SecondsSince(laid);
  const auto published = std::chrono::steady_clock::now();
  // Level 1: at the default level qmpublish spends minutes on 1280 MiB on
  // two shared cores, and the updater's memory does not depend on the level.
  PublishRequest request;
  request.release = folder;
  request.www = work.www;
  request.level = 1;
  if (!PublishRelease(request, big, &error)) {
    std::printf("  the big release could not be published: %s\n", error.c_str());
    return false;
  }
  std::printf(
      "  big release: one archive of %.1f MiB (%.1f MiB in %llu members), laid out in %.0f s, "
      "published at level 1 in %.0f s\n",
      big->archive_bytes() / 1048576.0, big->bytes() / 1048576.0,
      static_cast<unsigned long long>(big->files()), laid_seconds, SecondsSince(published));
  return true;
}

// 3. Peak memory while the updater installs the game release (many archives
// below the size that a download once kept in memory) and the big archive,
// beside a start with nothing to install; the highest sample's breakdown
// shows where the memory goes. Publishes the big release into *big for
// part 5 (empty archives when it could not).
bool MemoryPeaks(const Work& work, const Release& game_release, Release* big) {
  std::printf(
      "\n3. peak resident memory of QuillMar.exe (VmHWM of its own image), target <= %.0f MiB "
      "for any archive size\n",
      kMemoryTargetMiB);
  ChildRun many;
  std::string problem = WatchedInstall(work.games / "updater-many", work.logs / "many.log",
                                       game_release, kSampleEvery, &many);
  if (!problem.empty()) {
    std::printf("  fresh install of the release: %s\n", problem.c_str());
    return false;
  }
  const double many_peak = many.peak_kib / 1024.0;
  std::printf("  fresh install of the release above (%llu files):  %6.1f MiB%s%s\n",
              static_cast<unsigned long long>(game_release.files()), many_peak,
              Breakdown(many).c_str(), many_peak <= kMemoryTargetMiB ? "" : "  MISSED");

  if (!PublishBigRelease(work, kBigMemberBytes, big)) {
    *big = Release();
    return false;
  }
  const fs::path game = work.games / "updater-big";
  ChildRun run;
  problem = WatchedInstall(game, work.logs / "big.log", *big, 1, &run);
  if (!problem.empty()) {
    std::printf("  install of the big archive: %s\n", problem.c_str());
    return false;
  }
  const double peak = run.peak_kib / 1024.0;
  std::printf("  fresh install of the big archive (%.1f MiB):        %6.1f MiB%s\n",
              big->archive_bytes() / 1048576.0, peak, peak <= kMemoryTargetMiB ? "" : "  MISSED");
  std::printf("    installed in %.1f s (%.0f MB/s of archive), then compared byte for byte\n",
              run.seconds, big->archive_bytes() / 1e6 / run.seconds);
  std::printf("   %s\n", Breakdown(run).c_str());
  std::printf("    wait4's ru_maxrss, an upper bound counting the pages before exec: %.1f MiB\n",
              run.maxrss_kib / 1024.0);

  ChildRun idle;
  problem = RunUpToDate(game, work.logs / "big-current.log", true, &idle);
  if (!problem.empty()) {
    std::printf("  start with everything current: %s\n", problem.c_str());
    return false;
  }
  std::printf("  start with everything current:                  %6.1f MiB%s\n",
              idle.peak_kib / 1024.0, Breakdown(idle).c_str());
  return run.peak_kib > 0 && many.peak_kib > 0 && peak <= kMemoryTargetMiB &&
         many_peak <= kMemoryTargetMiB;
}

// The game release laid out at 1/scale of its size and published.
bool PublishGameRelease(const Work& work, int scale, int level, Release* release) {
  std::string error;
  const fs::path folder = work.releases / "game";
  const auto laid = std::chrono::steady_clock::now();
  if (!LayOutGameRelease(folder, QM_BENCH_LAUNCHER, scale, &error)) {
    std::printf("the release could not be laid out: %s\n", error.c_str());
    return false;
  }
  const double laid_seconds = SecondsSince(laid);
  const auto published = std::chrono::steady_clock::now();
  // One publication serves both launchers: the signed manifest goes to
  // www/signed/, and its mirror line leads to the archives.
  PublishRequest request;
  request.release = folder;
  request.www = work.www;
  request.mirrors = {BaseUrl() + "/QuillMar/"};
  request.key_file = QM_BENCH_KEY;
  request.level = level;
  if (!PublishRelease(request, release, &error)) {
    std::printf("the release could not be published: %s\n", error.c_str());
    return false;
  }
  std::printf(
      "release: %llu files, %.1f MB, laid out in %.0f s; qmpublish made %zu archives of %.1f MB "
      "in %.0f s\n",
      static_cast<unsigned long long>(release->files()), release->bytes() / 1e6, laid_seconds,
      release->archives.size(), release->archive_bytes() / 1e6, SecondsSince(published));
  for (const ReleaseArchive& archive : release->archives) {
    std::printf("  %-34s %5zu files %7.1f MB -> %6.1f MB\n", archive.url_path.c_str(),
                archive.files.size(), archive.bytes / 1e6, archive.archive_bytes / 1e6);
  }
  return true;
}

// Every part at full size.
bool AllParts(const Work& work) {
  Release release;
  if (!PublishGameRelease(work, 1, 12, &release)) {
    return false;
  }
  std::vector<fs::path> installed;
  const bool fresh = FreshInstalls(work, release, &installed);
  const bool current =
      !installed.empty() && installed.size() == kRounds && UpToDateStarts(work, installed, release);
  // Room for the big archive: the installs above go first.
  const auto clear_games = [&] {
    fs::remove_all(work.games);
    fs::create_directories(work.games);
  };
  clear_games();
  Release big;
  const bool memory = MemoryPeaks(work, release, &big);
  clear_games();
  FaultPlan faults;
  faults.sample_every = kSampleEvery;
  const bool faulted = FaultedInstalls(work, release, faults);
  clear_games();
  bool restarted = false;
  if (big.archives.empty()) {
    std::printf("\n5. kill and restart: FAILED: part 3 published no big release\n");
  } else {
    restarted = KillAndRestart(work, big, RestartPlan());
  }
  std::printf("\nparts: 1 %s, 2 %s, 3 %s, 4 %s, 5 %s\n", Verdict(fresh), Verdict(current),
              Verdict(memory), Verdict(faulted), Verdict(restarted));
  return fresh && current && memory && faulted && restarted;
}

// Parts 4 and 5 at a twentieth of their size, in some seconds: every
// install completes and is checked, and the byte targets hold (a launcher
// that does not resume misses them); times are printed, not judged.
bool FaultsSmoke(const Work& work) {
  constexpr int kScale = 20;
  Release release;
  if (!PublishGameRelease(work, kScale, 1, &release)) {
    return false;
  }
  // Published before part 4 runs, as in the full run, where part 3 does.
  Release big;
  if (!PublishBigRelease(work, kBigMemberBytes / kScale, &big)) {
    return false;
  }
  FaultPlan faults;
  faults.rounds = 1;
  faults.cut_every /= kScale;
  faults.sample_every = 1;
  faults.judge_time = false;
  const bool faulted = FaultedInstalls(work, release, faults);
  const bool restarted = KillAndRestart(work, big, RestartPlan());
  std::printf("\nparts: 4 %s, 5 %s\n", Verdict(faulted), Verdict(restarted));
  return faulted && restarted;
}

int Main(const fs::path& dir, bool smoke) {
  Work work;
  work.root = dir / "qm-update-bench";
  work.www = work.root / "www";
  work.releases = work.root / "releases";
  work.games = work.root / "games";
  work.logs = work.root / "logs";
  fs::remove_all(work.root);
  for (const fs::path& p : {work.www, work.releases, work.games, work.logs}) {
    fs::create_directories(p);
  }
  std::printf("update benchmark%s: %s against nginx on %s, work in %s\n",
              smoke ? " (faults smoke)" : "", QM_BENCH_LAUNCHER, BaseUrl().c_str(),
              work.root.c_str());
  std::printf("load at the start: %s\n", LoadAverage().c_str());
  bool met = false;
  {
    NginxServer nginx;
    std::string error;
    if (!nginx.Start(work.root / "nginx", work.www, QM_BENCH_PORT, &error)) {
      std::printf("nginx: %s\n", error.c_str());
      fs::remove_all(work.root);
      return 1;
    }
    met = smoke ? FaultsSmoke(work) : AllParts(work);
  }
  fs::remove_all(work.root);
  std::printf(
      "\nruns of QuillMar.exe refused (another program's _QuillMar_.exe ran), retried: %d\n",
      RefusedRuns());
  std::printf("load at the end: %s\n%s\n", LoadAverage().c_str(),
              met ? "all targets met" : "some targets missed or runs failed");
  return met ? 0 : 1;
}

}  // namespace
}  // namespace qm::bench

int main(int argc, char** argv) {
  const bool smoke = argc == 3 && std::string(argv[2]) == "faults-smoke";
  if (argc != 2 && !smoke) {
    std::fprintf(stderr,
                 "usage: update_bench DIR [faults-smoke]\n"
                 "  some GB are written below DIR; faults-smoke: parts 4 and 5, small\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows when it goes to a file
  qm::bench::AdoptOrphans();
  return qm::bench::Main(std::filesystem::absolute(argv[1]), smoke);
}
