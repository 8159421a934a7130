// Whether a game folder holds what a release installs, so that a fast run
// that installed less does not pass for a fast install.
#pragma once

#include <filesystem>
#include <string>

#include "bench/update/release.h"

namespace qm::bench {

// Every file of the release with its size, every sample_every-th file of each
// archive compared byte for byte with its source, and no other files beside
// the ones the game folder started with (the names in keep) and
// QuillMar.ini. Empty when all holds, else the first problem.
std::string CheckFiles(const std::filesystem::path& game,
                       const Release& release,
                       int sample_every,
                       const std::vector<std::string>& keep);

// The installed copy QuillMar.ini records every version of the release.
std::string CheckRecorded(const std::filesystem::path& game, const Release& release);

}  // namespace qm::bench
