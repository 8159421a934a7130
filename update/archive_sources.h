// Where an archive can be fetched from, in the order the run tries them:
// the mirror that the rule chose, the other mirrors it could have chosen
// (in index order after the chosen one, wrapping), then the default base.
#pragma once

#include <string>
#include <vector>

#include "update/server_settings.h"

namespace qm::update {

struct ArchiveSource {
  std::string base;  // the normalised base the URL is below
  std::string url;
};

// url: the archive's URL below the chosen mirror's download or engine base;
// chosen: the index of that mirror. The same base is derived for every
// source (an absolute engine base is the same for all); each URL once.
std::vector<ArchiveSource> ArchiveSources(const ServerSettings& server,
                                          size_t chosen,
                                          const std::string& url,
                                          const std::string& default_base_url);

}  // namespace qm::update
