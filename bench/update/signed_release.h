// The game release as a signed server hands it out: the same archives, the
// manifest with section H (serial, each archive's size and SHA-256) and its
// signature, below www/signed/, so that a launcher built for base URL
// <base>/signed fetches them while its mirror line points at the archives
// of the unsigned release.
#pragma once

#include <filesystem>
#include <string>

#include "bench/update/release.h"

namespace qm::bench {

// key_file: the bench's signing key (a PEM made by qmpublish keygen).
bool PublishSignedManifest(const std::filesystem::path& www,
                           const Release& release,
                           const std::filesystem::path& key_file,
                           std::string* error);

}  // namespace qm::bench
