// File contents for the generated releases, from a seed: the three kinds of
// data a game ships, which deflate treats very differently.
#pragma once

#include <cstdint>
#include <filesystem>

namespace qm::bench {

enum class ContentKind {
  kText,    // scripts, tables, configuration: deflates to about a third
  kBinary,  // code, models, maps: small numbers among random words, about half
  kPacked,  // textures, sounds, movies already compressed: does not deflate
};

// Writes size bytes of the kind; false when the file could not be written.
bool WriteContent(const std::filesystem::path& path,
                  uint64_t size,
                  ContentKind kind,
                  uint64_t seed);

}  // namespace qm::bench
