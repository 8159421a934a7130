// unzip_bench [WORK_DIR]
// 1. Zips a corpus of >= 100 MB of system text and binaries, then extracts
//    it to disk with TUnZip (with and without its final flush) and with
//    Info-ZIP `unzip -o -q` (with and without a sync after it), 5 interleaved
//    rounds each, and prints the best and median seconds and the ratios.
// 2. Makes a 1 GiB file of mixed compressible data, zips it with `zip -1`,
//    extracts it with TUnZip in a child process and prints the child's peak
//    resident memory (its VmHWM).
// Big temporary files are deleted at the end.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/common/stats.h"
#include "zip/unzip.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMinCorpusBytes = 100ull << 20;
constexpr uint64_t kBigMemberBytes = 1ull << 30;

int Shell(const std::string& command) {
  int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Quote(const fs::path& p) {
  return "'" + p.string() + "'";
}

uint64_t TreeBytes(const fs::path& root, uint64_t* files) {
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) {
      total += it->file_size(ec);
      ++*files;
    }
  }
  return total;
}

// Extracts with TUnZip; false when a member failed.
bool ExtractWithTUnZip(const fs::path& archive, const fs::path& dir, bool sync) {
  qm::zip::TUnZip unzip;
  unzip.SetArchiveFile(archive.string());
  unzip.SetExtractDir(dir.string());
  unzip.FileSpec = {"*.*"};
  unzip.SyncFiles = sync;
  int failures = 0;
  unzip.OnError = [&failures](qm::zip::TUnZip*, const std::string& file, const std::string&,
                              const std::string&, int code) {
    if (++failures <= 5) {
      std::fprintf(stderr, "  error %d: %s\n", code, file.c_str());
    }
  };
  unzip.Extract();
  return unzip.Succeeded();
}

// VmHWM of this process, in KiB.
long PeakResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atol(line.c_str() + 6);
    }
  }
  return -1;
}

struct Contender {
  const char* name;
  std::function<bool(const fs::path& target)> run;
  fs::path last_target;
  std::vector<double> seconds;
  double best() const { return qm::bench::Best(seconds); }
  double median() const { return qm::bench::Median(seconds); }
};

// kRounds runs of each contender, the rounds interleaved so that a slow
// spell of the disk hits all of them alike. A new target folder every time,
// and the previous run's data written out before the clock starts; folders
// are removed only after the last round, so that no deletion competes.
constexpr int kRounds = 5;

void RunRounds(const fs::path& work, std::vector<Contender>* contenders) {
  int run = 0;
  for (int round = 1; round <= kRounds; ++round) {
    for (Contender& c : *contenders) {
      c.last_target = work / ("out-" + std::to_string(++run));
      fs::create_directories(c.last_target);
      Shell("sync");
      auto start = std::chrono::steady_clock::now();
      if (!c.run(c.last_target)) {
        std::fprintf(stderr, "  %s, round %d: reported failures\n", c.name, round);
      }
      c.seconds.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
}

void SpeedBenchmark(const fs::path& work) {
  fs::path archive = work / "corpus.zip";
  // Mixed text and binaries, as the inflate benchmark takes them: an equal
  // share of regular files from each folder, in sorted order.
  const char* sources[] = {"share/doc", "bin", "lib/x86_64-linux-gnu", "share/man", "include"};
  const uint64_t share = kMinCorpusBytes / std::size(sources) + 1;
  fs::path list = work / "corpus-files.txt";
  std::ofstream names(list);
  uint64_t bytes = 0, files = 0;
  for (const char* source : sources) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(fs::path("/usr") / source, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file(ec) && !it->is_symlink(ec)) {
        found.push_back(it->path());
      }
    }
    std::sort(found.begin(), found.end());
    uint64_t taken = 0;
    for (const fs::path& file : found) {
      if (taken >= share) {
        break;
      }
      taken += fs::file_size(file, ec);
      ++files;
      names << file.lexically_relative("/usr").string() << "\n";
    }
    bytes += taken;
  }
  names.close();
  std::printf(
      "corpus: %llu files from /usr/{share/doc,bin,lib/x86_64-linux-gnu,share/man,"
      "include}, %.1f MB\n",
      static_cast<unsigned long long>(files), bytes / 1e6);
  if (Shell("cd /usr && zip -q " + Quote(archive) + " -@ < " + Quote(list) + " 2>/dev/null") > 1) {
    std::fprintf(stderr, "zip failed\n");
    return;
  }
  std::printf("archive: %.1f MB\n", fs::file_size(archive) / 1e6);
  std::vector<Contender> contenders = {
      {"TUnZip (default: installed files flushed to disk at the end)",
       [&](const fs::path& target) { return ExtractWithTUnZip(archive, target, true); },
       {},
       {}},
      {"TUnZip (SyncFiles = false, as unzip writes)",
       [&](const fs::path& target) { return ExtractWithTUnZip(archive, target, false); },
       {},
       {}},
      {"Info-ZIP unzip -o -q",
       [&](const fs::path& target) {
         return Shell("unzip -o -q " + Quote(archive) + " -d " + Quote(target)) <= 1;
       },
       {},
       {}},
      {"Info-ZIP unzip -o -q, then sync",
       [&](const fs::path& target) {
         return Shell("unzip -o -q " + Quote(archive) + " -d " + Quote(target) + "; sync") <= 1;
       },
       {},
       {}},
  };
  RunRounds(work, &contenders);
  uint64_t out_files = 0;
  uint64_t out_bytes = TreeBytes(contenders[0].last_target, &out_files);
  uint64_t their_files = 0;
  uint64_t their_bytes = TreeBytes(contenders[2].last_target, &their_files);
  std::printf("extracted: TUnZip %llu files %.1f MB, unzip %llu files %.1f MB\n",
              static_cast<unsigned long long>(out_files), out_bytes / 1e6,
              static_cast<unsigned long long>(their_files), their_bytes / 1e6);
  std::printf("%-62s %8s %8s\n", "", "best", "median");
  for (const Contender& c : contenders) {
    std::printf("%-62s %7.3fs %7.3fs\n", c.name, c.best(), c.median());
  }
  const Contender& unzip = contenders[2];
  std::printf("ratio TUnZip/unzip, best: %.2f default, %.2f without the flush\n",
              contenders[0].best() / unzip.best(), contenders[1].best() / unzip.best());
  std::printf("ratio TUnZip/unzip, median: %.2f default, %.2f without the flush\n",
              contenders[0].median() / unzip.median(), contenders[1].median() / unzip.median());
  for (int run = 1; run <= kRounds * static_cast<int>(contenders.size()); ++run) {
    fs::remove_all(work / ("out-" + std::to_string(run)));
  }
  fs::remove(archive);
}

void MakeMixedFile(const fs::path& path, uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 rng(42);
  std::string text;
  const char* words[] = {"quill ", "mar ", "update ", "archive ", "member ", "\n"};
  while (text.size() < (1 << 20)) {
    text += words[rng() % 6];
  }
  std::string block(1 << 20, '\0');
  for (uint64_t done = 0; done < size; done += block.size()) {
    switch ((done >> 20) % 4) {
      case 0:  // incompressible
        for (size_t i = 0; i < block.size(); i += 8) {
          uint64_t v = rng();
          std::copy_n(reinterpret_cast<const char*>(&v), 8, block.data() + i);
        }
        break;
      case 3:  // runs of zeros
        std::fill(block.begin(), block.end(), '\0');
        break;
      default:  // text
        block.assign(text, 0, block.size());
        break;
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

void MemoryBenchmark(const fs::path& work, const char* self) {
  fs::path big = work / "big.bin";
  fs::path archive = work / "big.zip";
  MakeMixedFile(big, kBigMemberBytes);
  if (Shell("cd " + Quote(work) + " && zip -q -1 big.zip big.bin") != 0) {
    std::fprintf(stderr, "zip failed\n");
    return;
  }
  fs::remove(big);
  std::printf("1 GiB member: archive %.1f MB\n", fs::file_size(archive) / 1e6);
  fs::path target = work / "big-out";
  fs::create_directories(target);
  // The child reports its own peak: the rusage of a child also counts the
  // pages it shared with this process before exec.
  std::string command = Quote(self) + " --child-extract " + Quote(archive) + " " + Quote(target);
  FILE* child = popen(command.c_str(), "r");
  char line[128] = {};
  bool read = child && std::fgets(line, sizeof(line), child) != nullptr;
  int status = child ? pclose(child) : -1;
  bool ok = read && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
            fs::file_size(target / "big.bin") == kBigMemberBytes;
  std::printf("peak RSS of the extracting process: %.1f MiB (%s)\n", std::atof(line) / 1024.0,
              ok ? "member extracted and verified" : "EXTRACTION FAILED");
  fs::remove_all(target);
  fs::remove(archive);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child-extract") {
    bool ok = ExtractWithTUnZip(argv[2], argv[3], true);
    std::printf("%ld\n", PeakResidentKib());
    return ok ? 0 : 1;
  }
  fs::path work = argc > 1 ? fs::path(argv[1]) : fs::current_path() / "unzip-bench-work";
  fs::remove_all(work);
  fs::create_directories(work);
  SpeedBenchmark(work);
  MemoryBenchmark(work, argv[0]);
  fs::remove_all(work);
  return 0;
}
