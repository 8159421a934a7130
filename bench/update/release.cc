#include "bench/update/release.h"

#include <cmath>
#include <fstream>
#include <random>
#include <string_view>

#include "bench/update/child_process.h"
#include "bench/update/content.h"
#include "launcher/gif/gif_encoder.h"
#include "launcher/splash/splash_art.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr char kSplashVersion[] = "4";

struct ArchiveSpec {
  const char* key;             // archive name without ".zip"
  const char* url_folder;      // below the server's root
  const char* section;         // where the installed copy records it
  const char* manifest_value;  // as the manifest writes it
  const char* recorded_value;  // what the update must record
  const char* top;             // the folder its files go to, "" for the game folder
  const char* groups[4];       // folder and file name stems
  int files;
  uint64_t bytes;
  int big_files;  // of big_bytes each, part of files and bytes
  uint64_t big_bytes;
  int weights[3];  // shares of text, binary and packed files
};

// About 200 MB in 4,700 files. AData2 carries a remark after its version,
// which the installed copy must record without.
const ArchiveSpec kGameArchives[] = {
    {"Part",
     "QuillMar/engine/",
     "V",
     "1207",
     "1207",
     "",
     {"System", "Shader", "Font", "Config"},
     260,
     46 * kMiB,
     2,
     8 * kMiB,
     {25, 55, 20}},
    {"Data",
     "QuillMar/engine/",
     "V",
     "388",
     "388",
     "Data",
     {"Map", "Char", "Sound", "Script"},
     2400,
     88 * kMiB,
     3,
     6 * kMiB,
     {35, 30, 35}},
    {"AData1",
     "QuillMar/",
     "AData",
     "31",
     "31",
     "Data/AddA1",
     {"Map", "Item", "Effect", "Text"},
     450,
     14 * kMiB,
     0,
     0,
     {40, 25, 35}},
    {"AData2",
     "QuillMar/",
     "AData",
     "12 ; rebuilt after the March patch",
     "12",
     "Data/AddA2",
     {"Map", "Item", "Effect", "Text"},
     420,
     13 * kMiB,
     0,
     0,
     {40, 25, 35}},
    {"AData3",
     "QuillMar/",
     "AData",
     "7",
     "7",
     "Data/AddA3",
     {"Map", "Item", "Effect", "Text"},
     480,
     15 * kMiB,
     0,
     0,
     {40, 25, 35}},
    {"BData1",
     "QuillMar/engine/",
     "BData",
     "19",
     "19",
     "Data/AddB1",
     {"Quest", "Npc", "Sound", "Ui"},
     360,
     11 * kMiB,
     0,
     0,
     {45, 20, 35}},
    {"BData2",
     "QuillMar/engine/",
     "BData",
     "5",
     "5",
     "Data/AddB2",
     {"Quest", "Npc", "Sound", "Ui"},
     330,
     10 * kMiB,
     0,
     0,
     {45, 20, 35}},
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

bool AddFile(ReleaseArchive& archive,
             const std::string& path,
             uint64_t size,
             ContentKind kind,
             uint64_t seed,
             std::string* error) {
  const fs::path file = archive.source / path;
  fs::create_directories(file.parent_path());
  if (!WriteContent(file, size, kind, seed)) {
    *error = "cannot write " + file.string();
    return false;
  }
  archive.files.push_back({path, size});
  archive.bytes += size;
  return true;
}

// Zips the archive's source folder with Info-ZIP into www/url_path.
bool Zip(const fs::path& www, ReleaseArchive& archive, const char* level, std::string* error) {
  const fs::path target = www / archive.url_path;
  fs::create_directories(target.parent_path());
  fs::remove(target);
  // Sounds and pictures are stored as they are, as publishers zip them.
  const std::string command = "cd " + Quote(archive.source) + " && zip -q -r -X -n .ogg:.jpg " +
                              level + " " + Quote(target) + " . >/dev/null";
  if (Shell(command) != 0) {
    *error = "zip failed for " + target.string();
    return false;
  }
  archive.archive_bytes = fs::file_size(target);
  return true;
}

bool MakeArchive(const ArchiveSpec& item,
                 const fs::path& sources,
                 const fs::path& www,
                 uint64_t seed,
                 Release* release,
                 std::string* error) {
  ReleaseArchive archive;
  archive.url_path = std::string(item.url_folder) + item.key + ".zip";
  archive.source = sources / item.key;
  fs::remove_all(archive.source);
  std::mt19937_64 rng(seed);
  for (int i = 0; i < item.big_files; ++i) {
    const std::string path = Join(item.top, "Pack" + std::to_string(i) + ".pak");
    const ContentKind kind = i % 2 == 0 ? ContentKind::kBinary : ContentKind::kPacked;
    if (!AddFile(archive, path, item.big_bytes, kind, rng(), error)) {
      return false;
    }
  }
  const int small = item.files - item.big_files;
  const std::vector<uint64_t> sizes =
      SmallSizes(rng, small, item.bytes - item.big_bytes * static_cast<uint64_t>(item.big_files));
  for (int i = 0; i < small; ++i) {
    // About forty files to a folder, the folders spread over four groups.
    const int folder = i / 40;
    const char* group = item.groups[folder % 4];
    char name[64];
    const ContentKind kind = PickKind(rng, item.weights);
    std::snprintf(name, sizeof(name), "%s%02d/%s%04d%s", group, folder, group, i,
                  kExtensions[static_cast<int>(kind)][rng() % 3]);
    if (!AddFile(archive, Join(item.top, name), sizes[static_cast<size_t>(i)], kind, rng(),
                 error)) {
      return false;
    }
  }
  if (!Zip(www, archive, "-6", error)) {
    return false;
  }
  release->archives.push_back(std::move(archive));
  release->recorded.push_back({item.section, item.key, item.recorded_value});
  return true;
}

bool MakeSplashArchive(const fs::path& sources,
                       const fs::path& www,
                       Release* release,
                       std::string* error) {
  ReleaseArchive archive;
  archive.url_path = std::string("QuillMar/") + kVersionKey + "_Sp.zip";
  archive.source = sources / "splash";
  fs::remove_all(archive.source);
  fs::create_directories(archive.source);
  const std::string gif = gif::EncodeGif(splash::DrawSplash());
  std::ofstream(archive.source / "Sp.Gif", std::ios::binary) << gif;
  archive.files.push_back({"Sp.Gif", gif.size()});
  archive.bytes = gif.size();
  if (gif.empty() || !Zip(www, archive, "-6", error)) {
    *error = error->empty() ? "the splash picture could not be encoded" : *error;
    return false;
  }
  release->archives.push_back(std::move(archive));
  release->recorded.push_back({"SP", std::string(kVersionKey) + "_Sp", kSplashVersion});
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

bool MakeGameRelease(const fs::path& sources,
                     const fs::path& www,
                     const std::string& base_url,
                     Release* release,
                     std::string* error) {
  *release = Release();
  if (!MakeSplashArchive(sources, www, release, error)) {
    return false;
  }
  uint64_t seed = 1000;
  for (const ArchiveSpec& item : kGameArchives) {
    if (!MakeArchive(item, sources, www, ++seed, release, error)) {
      return false;
    }
  }
  const auto lines = [](std::string_view section) {
    std::string text;
    for (const ArchiveSpec& item : kGameArchives) {
      if (item.section == section) {
        text += std::string(item.key) + "=" + item.manifest_value + "\r\n";
      }
    }
    return text;
  };
  // Windows line ends, as the publisher's tools write the file.
  std::string m = "; QuillMar release served to the update benchmark\r\n";
  m += "[P]\r\nPath0=" + base_url + "/QuillMar/\r\n";
  m += "[V]\r\n" + std::string(kVersionKey) + "=" + kLauncherVersion + "::engine\r\n";
  m += lines("V");
  m += "[S]\r\nBK=benchmark\r\nBKP=1\r\n";
  m += "[SP]\r\n" + std::string(kVersionKey) + "_Sp=" + kSplashVersion + "\r\n";
  m += "[AData]\r\n" + lines("AData");
  m += "[BData]\r\n" + lines("BData");
  release->manifest = m;
  return true;
}

bool MakeBigRelease(const fs::path& sources,
                    const fs::path& www,
                    Release* release,
                    std::string* error) {
  *release = Release();
  ReleaseArchive archive;
  archive.url_path = "QuillMar/big/Part.zip";
  archive.source = sources / "big";
  fs::remove_all(archive.source);
  if (!AddFile(archive, "Movie/Intro.ogg", 640 * kMiB, ContentKind::kPacked, 91, error) ||
      !AddFile(archive, "Data/World.pak", 640 * kMiB, ContentKind::kBinary, 92, error) ||
      !Zip(www, archive, "-1", error)) {
    return false;
  }
  release->archives.push_back(std::move(archive));
  release->recorded.push_back({"V", "Part", "9001"});
  // No mirror line: the download base is the built-in one. Splash "-1"
  // matches a game folder without Sp.Gif, so the engine is all there is.
  release->manifest = "[V]\r\n" + std::string(kVersionKey) + "=" + kLauncherVersion +
                      "::big\r\nPart=9001\r\n[SP]\r\n" + kVersionKey + "_Sp=-1\r\n";
  return true;
}

bool PublishManifest(const fs::path& www, const Release& release) {
  const fs::path folder = www / "QuillMar";
  fs::create_directories(folder);
  {
    std::ofstream out(folder / "QuillMar.ini.new", std::ios::binary | std::ios::trunc);
    out << release.manifest;
    if (!out.flush()) {
      return false;
    }
  }
  std::error_code ec;
  fs::rename(folder / "QuillMar.ini.new", folder / "QuillMar.ini", ec);
  return !ec;
}

}  // namespace qm::bench
