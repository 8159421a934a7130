// unzip_bench [WORK_DIR]
// 1. Zips a corpus of >= 100 MB of system files (zip -q -r), then extracts
//    it to disk with TUnZip and with Info-ZIP `unzip -o -q`, best of 3 each,
//    a fresh target folder every time, and prints seconds and the ratio.
// 2. Makes a 1 GiB file of mixed compressible data, zips it with `zip -1`,
//    extracts it with TUnZip in a child process and prints the child's peak
//    resident memory.
// Big temporary files are deleted at the end.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

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

template <typename Fn>
double BestOf3(const fs::path& target, Fn run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    fs::remove_all(target);
    fs::create_directories(target);
    Shell("sync");
    auto start = std::chrono::steady_clock::now();
    if (!run()) {
      std::fprintf(stderr, "  run %d reported failures\n", i + 1);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, seconds);
  }
  return best;
}

void SpeedBenchmark(const fs::path& work) {
  fs::path archive = work / "corpus.zip";
  const char* sources[] = {"share/doc", "lib/python3.11", "share/locale", "lib/x86_64-linux-gnu"};
  // Adds folders until the corpus holds enough bytes.
  std::string folders;
  uint64_t bytes = 0, files = 0;
  for (const char* source : sources) {
    if (!fs::exists(fs::path("/usr") / source)) {
      continue;
    }
    folders += std::string(" ") + source;
    bytes += TreeBytes(fs::path("/usr") / source, &files);
    if (bytes >= kMinCorpusBytes) {
      break;
    }
  }
  std::printf("corpus: /usr/{%s }, %llu files, %.1f MB\n", folders.c_str(),
              static_cast<unsigned long long>(files), bytes / 1e6);
  if (Shell("cd /usr && zip -q -r " + Quote(archive) + folders + " 2>/dev/null") > 1) {
    std::fprintf(stderr, "zip failed\n");
    return;
  }
  std::printf("archive: %.1f MB\n", fs::file_size(archive) / 1e6);
  fs::path target = work / "out";
  double ours_sync = BestOf3(target, [&] { return ExtractWithTUnZip(archive, target, true); });
  uint64_t out_files = 0;
  uint64_t out_bytes = TreeBytes(target, &out_files);
  double ours = BestOf3(target, [&] { return ExtractWithTUnZip(archive, target, false); });
  double theirs = BestOf3(
      target, [&] { return Shell("unzip -o -q " + Quote(archive) + " -d " + Quote(target)) <= 1; });
  uint64_t their_files = 0;
  uint64_t their_bytes = TreeBytes(target, &their_files);
  std::printf("extracted: TUnZip %llu files %.1f MB, unzip %llu files %.1f MB\n",
              static_cast<unsigned long long>(out_files), out_bytes / 1e6,
              static_cast<unsigned long long>(their_files), their_bytes / 1e6);
  std::printf("TUnZip (each file synced before it replaces the old one): %.3f s\n", ours_sync);
  std::printf("TUnZip (SyncFiles = false, as unzip writes):              %.3f s\n", ours);
  std::printf("Info-ZIP unzip -o -q:                                     %.3f s\n", theirs);
  std::printf("ratio TUnZip/unzip: %.2f (synced %.2f)\n", ours / theirs, ours_sync / theirs);
  fs::remove_all(target);
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
  pid_t pid = fork();
  if (pid == 0) {
    execl(self, self, "--child-extract", archive.c_str(), target.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  struct rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
            fs::file_size(target / "big.bin") == kBigMemberBytes;
  std::printf("peak RSS of the extracting process: %.1f MiB (%s)\n", usage.ru_maxrss / 1024.0,
              ok ? "member extracted and verified" : "EXTRACTION FAILED");
  fs::remove_all(target);
  fs::remove(archive);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child-extract") {
    return ExtractWithTUnZip(argv[2], argv[3], true) ? 0 : 1;
  }
  if (argc == 4 && std::string(argv[1]) == "--child-extract-unsynced") {
    return ExtractWithTUnZip(argv[2], argv[3], false) ? 0 : 1;
  }
  fs::path work = argc > 1 ? fs::path(argv[1]) : fs::current_path() / "unzip-bench-work";
  fs::remove_all(work);
  fs::create_directories(work);
  SpeedBenchmark(work);
  MemoryBenchmark(work, argv[0]);
  fs::remove_all(work);
  return 0;
}
