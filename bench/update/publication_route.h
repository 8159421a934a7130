// A published server folder offered under another path of the document
// root with a manifest of the benchmark's choosing: a launcher built for
// that path's base URL reads the manifest given, and everything else it
// fetches (archives, indexes, the engine folder) is a link into the
// publication. Rebuilding a route switches what the launcher gets.
#pragma once

#include <filesystem>
#include <string>

namespace qm::bench {

// Makes route (removed first) hold manifest as QuillMar.ini and a link to
// every entry of published but its QuillMar.ini*; false with a reason.
bool RoutePublication(const std::filesystem::path& published,
                      const std::filesystem::path& route,
                      const std::string& manifest,
                      std::string* error);

}  // namespace qm::bench
