// Compares an archive's content index with the members the archive really
// holds, read by the zip component's own catalogue and decoders.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "update/integrity_format.h"

namespace qm::publish {

// What the index gets wrong, one text per member that names it; empty when
// every line matches the member it names and every member has its line.
std::vector<std::string> IndexMismatches(const std::filesystem::path& archive,
                                         const std::vector<update::IndexEntry>& index);

}  // namespace qm::publish
