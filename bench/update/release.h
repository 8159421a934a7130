// The releases the benchmark serves, generated from fixed seeds: the files
// of each archive as they must be installed, the archives zipped by Info-ZIP
// into the server's folder, and the manifest that lists them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::bench {

// The launcher's version key and FileVersion (launcher/QuillMar.rc):
// a manifest that names this version makes the update skip the launcher.
inline constexpr char kVersionKey[] = "82001500";
inline constexpr char kLauncherVersion[] = "3.0.0.0";

struct ReleaseFile {
  std::string path;  // below the game folder, "/" between folders
  uint64_t size = 0;
};

struct ReleaseArchive {
  std::string url_path;          // below the server's root, e.g. "QuillMar/engine/Part.zip"
  std::filesystem::path source;  // its files as they must be installed
  std::vector<ReleaseFile> files;
  uint64_t bytes = 0;  // of its files
  uint64_t archive_bytes = 0;
};

// A line that the installed copy must hold once the update is done.
struct RecordedVersion {
  std::string section;
  std::string key;
  std::string value;
};

struct Release {
  std::string manifest;                  // QuillMar.ini as the server holds it
  std::vector<ReleaseArchive> archives;  // in the order the update fetches them
  std::vector<RecordedVersion> recorded;

  uint64_t files() const;
  uint64_t bytes() const;
  uint64_t archive_bytes() const;
};

// A game release of about 200 MB in some 4,700 files: the splash, engine,
// data, three A-data and two B-data archives. The download base is a mirror
// line naming base_url + "/QuillMar/", the engine base its folder "engine".
bool MakeGameRelease(const std::filesystem::path& sources,
                     const std::filesystem::path& www,
                     const std::string& base_url,
                     Release* release,
                     std::string* error);

// One engine archive of more than 1 GiB: a stored member of 640 MiB (a
// movie) and a deflated one of 640 MiB, below the folder "big".
bool MakeBigRelease(const std::filesystem::path& sources,
                    const std::filesystem::path& www,
                    Release* release,
                    std::string* error);

// Puts the release's manifest in place on the server (by rename, so that a
// request never sees half a file).
bool PublishManifest(const std::filesystem::path& www, const Release& release);

}  // namespace qm::bench
