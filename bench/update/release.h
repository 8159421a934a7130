// The release folders the benchmark publishes, generated from fixed seeds in
// the layout qmpublish reads, and what a publication of one must install.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::bench {

struct ReleaseFile {
  std::string path;  // below the game folder, "/" between folders
  uint64_t size = 0;
};

struct ReleaseArchive {
  std::string url_path;          // below the server's root, e.g. "QuillMar/r0123abcd/Part.zip"
  std::filesystem::path source;  // its item folder of the release: its files as installed
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
  std::string manifest;                  // QuillMar.ini as the key-less launcher gets it
  std::vector<ReleaseArchive> archives;  // in the order the update fetches them
  std::vector<RecordedVersion> recorded;

  uint64_t files() const;
  uint64_t bytes() const;
  uint64_t archive_bytes() const;
};

// A game release of about 200 MB in some 4,700 files below folder (both
// divided by scale): the launcher (a copy of launcher), the splash, engine,
// data, three A-data and two B-data sets.
bool LayOutGameRelease(const std::filesystem::path& folder,
                       const std::filesystem::path& launcher,
                       int scale,
                       std::string* error);

// The launcher and an engine of two members of member_bytes each (640 MiB
// for an archive of more than 1 GiB): a movie that does not deflate and
// data that does.
bool LayOutBigRelease(const std::filesystem::path& folder,
                      const std::filesystem::path& launcher,
                      uint64_t member_bytes,
                      std::string* error);

}  // namespace qm::bench
