// publish: turns a release folder into the server tree that the updater
// reads: QuillMar/QuillMar.ini and every archive at the URL it derives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qm::publish {

struct PublishOptions {
  std::filesystem::path release;
  std::filesystem::path out;         // the server's document root
  std::vector<std::string> mirrors;  // download bases, "http://..."
  std::optional<std::string> bk;     // S/BK and S/BKP for the game client
  std::optional<std::string> bkp;
  std::string engine_folder;  // empty: one derived from this release's content
  int level = 12;
  int jobs = 2;
  std::FILE* log = nullptr;  // progress and the summary
  // The private key that signs the manifest (qmpublish keygen); empty: the
  // manifest carries hashes and its serial but no signature.
  std::filesystem::path key_file;
  // The release serial; none: one more than the previous manifest's.
  std::optional<uint64_t> serial;
};

// One archive of the publication.
struct PublishedItem {
  std::string label;
  std::string path;  // below the output folder, "/" separators
  std::string version;
  std::string action;  // "compressed", "unchanged", "copied"
  uint64_t bytes = 0;
};

struct PublishResult {
  std::string version_key;
  std::string engine_folder;
  uint64_t serial = 0;
  bool signed_manifest = false;
  std::vector<PublishedItem> items;
  std::vector<std::string> warnings;
};

// Raises PublishError before anything is written when the release or an
// option would not work; otherwise writes every archive and the manifest
// last, so a server never names an archive that is not there yet.
PublishResult Publish(const PublishOptions& options);

}  // namespace qm::publish
