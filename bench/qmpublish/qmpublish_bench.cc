// qmpublish_bench [WORK_DIR]
// Builds a release of about 200 MB from system files (libraries as the
// engine, headers and documentation as data, A-data and B-data sets), then
// side by side, 3 rounds each:
//   - qmpublish (Publish into an empty server tree) at its defaults and at
//     other levels and job counts;
//   - `zip -r -9 -q -X` of each item folder, one after the other;
//   - zlib level 9 (raw Deflate) of every file, for the choice of library.
// Prints total archive bytes and the best seconds, with ratios against
// zip -r -9. The release and the trees are deleted at the end.
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tools/qmpublish/file_bytes.h"
#include "tools/qmpublish/publish.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kReleaseBytes = 200ull << 20;
constexpr int kRounds = 3;

int Shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Quote(const fs::path& p) {
  return "'" + p.string() + "'";
}

uint64_t ZipBytes(const fs::path& root) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && entry.path().extension() == ".zip") {
      total += entry.file_size();
    }
  }
  return total;
}

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Copies regular files below source into target until `budget` bytes are
// taken (files of 32 MB or more are skipped, as a release splits those).
uint64_t Fill(const fs::path& source, const fs::path& target, uint64_t budget) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(source, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec) && it->file_size(ec) < (32u << 20)) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  uint64_t taken = 0;
  std::set<std::string> names;  // a game release has no names that differ only in case
  for (const fs::path& file : files) {
    if (taken >= budget) {
      break;
    }
    std::string lower = file.string();
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!names.insert(lower).second) {
      continue;
    }
    const fs::path to = target / file.lexically_relative(source);
    fs::create_directories(to.parent_path());
    if (fs::copy_file(file, to, ec) && !ec) {
      taken += fs::file_size(to);
    }
    ec.clear();
  }
  return taken;
}

struct Folder {
  const char* name;  // below the release
  const char* source;
  double share;  // of the release's bytes
};

constexpr Folder kFolders[] = {
    {"engine", "/usr/lib/x86_64-linux-gnu", 0.40}, {"data", "/usr/include", 0.25},
    {"adata/1", "/usr/share/doc", 0.10},           {"adata/2", "/usr/share/locale", 0.05},
    {"bdata/1", "/usr/share/perl", 0.10},          {"bdata/2", "/usr/bin", 0.10},
};

uint64_t ZlibBytes(const fs::path& root) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) {
      continue;
    }
    const std::string in = qm::publish::ReadWholeFile(entry.path());
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, in.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    // Stored when Deflate does not shrink, as the archives do.
    total += std::min<uint64_t>(z.total_out, in.size());
    deflateEnd(&z);
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path work =
      fs::path(argc > 1 ? argv[1] : fs::temp_directory_path().string()) / "qmpublish_bench";
  fs::remove_all(work);
  const fs::path release = work / "release";
  fs::create_directories(release / "launcher");
  fs::copy_file(QM_BENCH_LAUNCHER, release / "launcher" / "QuillMar.exe");
  uint64_t total = 0;
  for (const Folder& folder : kFolders) {
    total += Fill(folder.source, release / folder.name,
                  static_cast<uint64_t>(static_cast<double>(kReleaseBytes) * folder.share));
  }
  std::printf("release: %.1f MB in %zu item folders\n", static_cast<double>(total) / 1e6,
              std::size(kFolders));
  std::fflush(stdout);

  // zip -r -9 of each item folder (the launcher's too).
  std::vector<fs::path> items = {release / "launcher"};
  for (const Folder& folder : kFolders) {
    items.push_back(release / folder.name);
  }
  double zip_best = 1e9;
  uint64_t zip_bytes = 0;
  for (int round = 0; round < kRounds; ++round) {
    const fs::path out = work / "zip";
    fs::remove_all(out);
    fs::create_directories(out);
    zip_best = std::min(
        zip_best, Seconds([&] {
          int n = 0;
          for (const fs::path& item : items) {
            const fs::path archive = out / (std::to_string(n++) + ".zip");
            if (Shell("cd " + Quote(item) + " && zip -r -9 -q -X " + Quote(archive) + " .") != 0) {
              std::fprintf(stderr, "zip failed on %s\n", item.c_str());
              std::exit(1);
            }
          }
        }));
    zip_bytes = ZipBytes(out);
  }
  std::printf("%-28s %12s %8s %9s %8s\n", "", "bytes", "vs zip", "seconds", "vs zip");
  std::printf("%-28s %12llu %8s %9.2f %8s\n", "zip -r -9",
              static_cast<unsigned long long>(zip_bytes), "1.000", zip_best, "1.00");

  struct Setting {
    int level;
    int jobs;
  };
  for (const Setting setting : {Setting{12, 2}, Setting{12, 1}, Setting{9, 2}, Setting{6, 2}}) {
    double best = 1e9;
    uint64_t bytes = 0;
    for (int round = 0; round < kRounds; ++round) {
      const fs::path out = work / "published";
      fs::remove_all(out);
      qm::publish::PublishOptions options;
      options.release = release;
      options.out = out;
      options.level = setting.level;
      options.jobs = setting.jobs;
      best = std::min(best, Seconds([&] { qm::publish::Publish(options); }));
      bytes = ZipBytes(out);
    }
    char label[64];
    std::snprintf(label, sizeof(label), "qmpublish level %d, %d job%s", setting.level, setting.jobs,
                  setting.jobs > 1 ? "s" : "");
    std::printf("%-28s %12llu %8.3f %9.2f %8.2f\n", label, static_cast<unsigned long long>(bytes),
                static_cast<double>(bytes) / static_cast<double>(zip_bytes), best, best / zip_best);
    std::fflush(stdout);
  }

  uint64_t zlib_bytes = 0;
  const double zlib_seconds = Seconds([&] { zlib_bytes = ZlibBytes(release); });
  std::printf("%-28s %12llu %8.3f %9.2f %8.2f   (member data only, 1 thread)\n", "zlib level 9",
              static_cast<unsigned long long>(zlib_bytes),
              static_cast<double>(zlib_bytes) / static_cast<double>(zip_bytes), zlib_seconds,
              zlib_seconds / zip_best);
  fs::remove_all(work);
  return 0;
}
