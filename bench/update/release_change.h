// The next release of a release folder as a game team makes one: the same
// files but one in a hundred patched, some in place (same size), some
// grown, in a copy made of hard links so that only the patched files take
// room.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qm::bench {

// Copies release to next (removed first) and patches one file in every
// per_file of the game's files (at least two, spread evenly over the files
// in name order; the launcher stays); *changed gets their paths below the
// release folder, "/" between folders. False with a reason in *error.
bool MakeNextRelease(const std::filesystem::path& release,
                     const std::filesystem::path& next,
                     int per_file,
                     std::vector<std::string>* changed,
                     std::string* error);

}  // namespace qm::bench
