// A release folder published by qmpublish into the document root that the
// benchmark's nginx serves, and what the launchers must install from it,
// taken from the publication: each archive's URL, size and version as
// qmpublish reports them, its files from the item folder it was made of.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bench/update/release.h"

namespace qm::bench {

struct PublishRequest {
  std::filesystem::path release;  // a release folder
  std::filesystem::path www;      // the document root
  std::vector<std::string> mirrors;
  int level = 12;
  // With a key: the signed manifest and its signature go to
  // www/signed/QuillMar/, for a launcher built for base URL <base>/signed
  // whose mirror line leads it to the archives below www/QuillMar/.
  std::filesystem::path key_file;
};

// Publishes, then serves at www/QuillMar/QuillMar.ini the manifest without
// section H, so that a launcher without a key checks no hashes at all.
bool PublishRelease(const PublishRequest& request, Release* release, std::string* error);

// A manifest's text without one of its sections (name compared as the
// updater compares it).
std::string WithoutSection(const std::string& ini, std::string_view section);

}  // namespace qm::bench
