#include "update/archive_sources.h"

#include <algorithm>

#include "update/settings_rules.h"

namespace qm::update {

std::vector<ArchiveSource> ArchiveSources(const ServerSettings& server,
                                          size_t chosen,
                                          const std::string& url,
                                          const std::string& default_base_url) {
  const std::string& text = server.launcher.engine_base_text;
  const std::string& chosen_base = server.mirror_bases.at(chosen);
  const std::string engine = EngineBase(chosen_base, text);
  const std::string download = NormalizeBase(chosen_base);
  // The engine base first: it is usually the longer, below the other.
  bool below_engine = false;
  std::string rest;
  if (url.rfind(engine, 0) == 0) {
    below_engine = true;
    rest = url.substr(engine.size());
  } else if (url.rfind(download, 0) == 0) {
    rest = url.substr(download.size());
  } else {
    return {{url.substr(0, url.rfind('/') + 1), url}};
  }
  std::vector<std::string> bases;
  const size_t count = server.mirror_bases.size();
  for (size_t k = 0; k < count; ++k) {
    bases.push_back(server.mirror_bases[(chosen + k) % count]);
  }
  bases.push_back(default_base_url + "/QuillMar/");
  std::vector<ArchiveSource> sources;
  for (const std::string& base_text : bases) {
    ArchiveSource source;
    source.base = below_engine ? EngineBase(base_text, text) : NormalizeBase(base_text);
    source.url = source.base + rest;
    if (std::none_of(sources.begin(), sources.end(),
                     [&](const ArchiveSource& s) { return s.url == source.url; })) {
      sources.push_back(std::move(source));
    }
  }
  return sources;
}

}  // namespace qm::update
