// The two releases that parts 6 and 7 work with: a release of about 2 GB
// and the next one, in which one file in a hundred changed, each published
// by qmpublish into a server folder of its own (the second on top of a
// linked copy of the first, as a publisher publishes the next release), and
// the route that offers one of them to the launcher built for base URL
// <base>/wire, whose requests nginx logs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/update/release.h"
#include "bench/update/updater_run.h"

namespace qm::bench {

// A file that differs between the two releases.
struct ChangedFile {
  std::string game_path;            // below the game folder, "/" between folders
  std::filesystem::path source[2];  // in each release folder
  std::string archive_url_path[2];  // the archive holding it in each publication
};

struct MemberReleases {
  Release release[2];
  std::filesystem::path www[2];  // each publication's document root
  std::vector<ChangedFile> changed;
};

// Lays out the first release at 1/scale of its size, makes the second,
// publishes both at level 1 and prints what they hold; false after printing
// why when something failed.
bool PrepareMemberReleases(const Work& work, int scale, MemberReleases* releases);

// Offers release which (0 or 1) at <base>/wire/QuillMar/, with the manifest
// as qmpublish wrote it (hashed: section H, so that the launcher can use the
// indexes) or without section H (the whole-archive update of launchers that
// know no indexes). False with a reason in *error.
bool ServeMemberRelease(const Work& work,
                        const MemberReleases& releases,
                        int which,
                        bool hashed,
                        std::string* error);

// What a member-level update to release which must fetch at least: the
// changed members' local headers and data as that publication's archives
// hold them, and the indexes of the archives they are in.
struct MemberBytes {
  int members = 0;
  uint64_t member_bytes = 0;
  int indexes = 0;
  uint64_t index_bytes = 0;
  uint64_t total() const { return member_bytes + index_bytes; }
};
bool ExpectedMemberBytes(const MemberReleases& releases,
                         int which,
                         MemberBytes* bytes,
                         std::string* error);

}  // namespace qm::bench
