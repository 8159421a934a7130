#include "bench/update/release.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

#include "bench/update/content.h"
#include "launcher/gif/gif_encoder.h"
#include "launcher/splash/splash_art.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = uint64_t{1} << 20;

struct ItemPlan {
  const char* folder;     // in the release folder
  const char* top;        // the folder its files go to, "" for the game folder
  const char* groups[4];  // folder and file name stems
  int files;
  uint64_t bytes;
  int big_files;  // of big_bytes each, part of files and bytes
  uint64_t big_bytes;
  int weights[3];  // shares of text, binary and packed files
};

// About 200 MB in 4,700 files.
const ItemPlan kGameItems[] = {
    {"engine",
     "",
     {"System", "Shader", "Font", "Config"},
     260,
     46 * kMiB,
     2,
     8 * kMiB,
     {25, 55, 20}},
    {"data",
     "Data",
     {"Map", "Char", "Sound", "Script"},
     2400,
     88 * kMiB,
     3,
     6 * kMiB,
     {35, 30, 35}},
    {"adata/1",
     "Data/AddA1",
     {"Map", "Item", "Effect", "Text"},
     450,
     14 * kMiB,
     0,
     0,
     {40, 25, 35}},
    {"adata/2",
     "Data/AddA2",
     {"Map", "Item", "Effect", "Text"},
     420,
     13 * kMiB,
     0,
     0,
     {40, 25, 35}},
    {"adata/3",
     "Data/AddA3",
     {"Map", "Item", "Effect", "Text"},
     480,
     15 * kMiB,
     0,
     0,
     {40, 25, 35}},
    {"bdata/1", "Data/AddB1", {"Quest", "Npc", "Sound", "Ui"}, 360, 11 * kMiB, 0, 0, {45, 20, 35}},
    {"bdata/2", "Data/AddB2", {"Quest", "Npc", "Sound", "Ui"}, 330, 10 * kMiB, 0, 0, {45, 20, 35}},
};

const char* const kExtensions[3][3] = {
    {".txt", ".xml", ".lua"},
    {".dat", ".mdl", ".dll"},
    {".dds", ".ogg", ".jpg"},
};

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

ContentKind PickKind(std::mt19937_64& rng, const int weights[3]) {
  const int total = weights[0] + weights[1] + weights[2];
  int pick = static_cast<int>(rng() % static_cast<uint64_t>(total));
  for (int k = 0; k < 3; ++k) {
    if (pick < weights[k]) {
      return static_cast<ContentKind>(k);
    }
    pick -= weights[k];
  }
  return ContentKind::kPacked;
}

// Sizes of the small files: exponentially spread (many small, a few of some
// hundred KB), scaled to the archive's total.
std::vector<uint64_t> SmallSizes(std::mt19937_64& rng, int count, uint64_t total) {
  std::exponential_distribution<double> spread(1.0);
  std::vector<double> draws(static_cast<size_t>(count));
  double sum = 0;
  for (double& d : draws) {
    d = spread(rng) + 0.002;
    sum += d;
  }
  std::vector<uint64_t> sizes;
  sizes.reserve(draws.size());
  for (double d : draws) {
    sizes.push_back(static_cast<uint64_t>(std::llround(d / sum * static_cast<double>(total))));
  }
  return sizes;
}

bool AddFile(const fs::path& item,
             const std::string& path,
             uint64_t size,
             ContentKind kind,
             uint64_t seed,
             std::string* error) {
  const fs::path file = item / path;
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  if (ec || !WriteContent(file, size, kind, seed)) {
    *error = "cannot write " + file.string();
    return false;
  }
  return true;
}

// The plan's files and bytes divided by scale.
bool LayOutItem(const ItemPlan& plan,
                int scale,
                const fs::path& item,
                uint64_t seed,
                std::string* error) {
  std::mt19937_64 rng(seed);
  const uint64_t big_bytes = plan.big_bytes / static_cast<uint64_t>(scale);
  for (int i = 0; i < plan.big_files; ++i) {
    const std::string path = Join(plan.top, "Pack" + std::to_string(i) + ".pak");
    const ContentKind kind = i % 2 == 0 ? ContentKind::kBinary : ContentKind::kPacked;
    if (!AddFile(item, path, big_bytes, kind, rng(), error)) {
      return false;
    }
  }
  const int small = std::max(1, plan.files / scale - plan.big_files);
  const std::vector<uint64_t> sizes =
      SmallSizes(rng, small,
                 (plan.bytes - plan.big_bytes * static_cast<uint64_t>(plan.big_files)) /
                     static_cast<uint64_t>(scale));
  for (int i = 0; i < small; ++i) {
    // About forty files to a folder, the folders spread over four groups.
    const int folder = i / 40;
    const char* group = plan.groups[folder % 4];
    char name[64];
    const ContentKind kind = PickKind(rng, plan.weights);
    std::snprintf(name, sizeof(name), "%s%02d/%s%04d%s", group, folder, group, i,
                  kExtensions[static_cast<int>(kind)][rng() % 3]);
    if (!AddFile(item, Join(plan.top, name), sizes[static_cast<size_t>(i)], kind, rng(), error)) {
      return false;
    }
  }
  return true;
}

// A fresh release folder holding only the launcher.
bool StartReleaseFolder(const fs::path& folder, const fs::path& launcher, std::string* error) {
  std::error_code ec;
  fs::remove_all(folder, ec);
  fs::create_directories(folder / "launcher", ec);
  if (!ec) {
    fs::copy_file(launcher, folder / "launcher" / "QuillMar.exe", ec);
  }
  if (ec) {
    *error = "cannot copy " + launcher.string() + " into " + folder.string() + ": " + ec.message();
    return false;
  }
  return true;
}

bool WriteSplash(const fs::path& folder, std::string* error) {
  const std::string gif = gif::EncodeGif(splash::DrawSplash());
  std::error_code ec;
  fs::create_directories(folder / "splash", ec);
  std::ofstream out(folder / "splash" / "Sp.Gif", std::ios::binary);
  out << gif;
  if (gif.empty() || !out.flush()) {
    *error = "the splash picture could not be written";
    return false;
  }
  return true;
}

}  // namespace

uint64_t Release::files() const {
  uint64_t n = 0;
  for (const ReleaseArchive& a : archives) {
    n += a.files.size();
  }
  return n;
}

uint64_t Release::bytes() const {
  uint64_t n = 0;
  for (const ReleaseArchive& a : archives) {
    n += a.bytes;
  }
  return n;
}

uint64_t Release::archive_bytes() const {
  uint64_t n = 0;
  for (const ReleaseArchive& a : archives) {
    n += a.archive_bytes;
  }
  return n;
}

bool LayOutGameRelease(const fs::path& folder,
                       const fs::path& launcher,
                       int scale,
                       std::string* error) {
  if (!StartReleaseFolder(folder, launcher, error) || !WriteSplash(folder, error)) {
    return false;
  }
  uint64_t seed = 1000;
  for (const ItemPlan& plan : kGameItems) {
    if (!LayOutItem(plan, scale, folder / plan.folder, ++seed, error)) {
      return false;
    }
  }
  return true;
}

bool LayOutBigRelease(const fs::path& folder,
                      const fs::path& launcher,
                      uint64_t member_bytes,
                      std::string* error) {
  // No splash: the manifest's "-1" matches a game folder without Sp.Gif,
  // so the engine is all there is to install.
  const fs::path engine = folder / "engine";
  return StartReleaseFolder(folder, launcher, error) &&
         AddFile(engine, "Movie/Intro.ogg", member_bytes, ContentKind::kPacked, 91, error) &&
         AddFile(engine, "Data/World.pak", member_bytes, ContentKind::kBinary, 92, error);
}

}  // namespace qm::bench
