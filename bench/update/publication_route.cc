#include "bench/update/publication_route.h"

#include <fstream>

namespace qm::bench {

namespace fs = std::filesystem;

bool RoutePublication(const fs::path& published,
                      const fs::path& route,
                      const std::string& manifest,
                      std::string* error) {
  std::error_code ec;
  // Removes the links, not what they lead to.
  fs::remove_all(route, ec);
  fs::create_directories(route, ec);
  for (auto it = fs::directory_iterator(published, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    // The manifest and its signature are the route's own.
    const std::string name = it->path().filename().string();
    if (!name.starts_with("QuillMar.ini")) {
      fs::create_symlink(it->path(), route / name, ec);
      if (ec) {
        break;
      }
    }
  }
  if (ec) {
    *error = "cannot link the archives of " + published.string() + " into " + route.string() +
             ": " + ec.message();
    return false;
  }
  std::ofstream out(route / "QuillMar.ini", std::ios::binary | std::ios::trunc);
  out << manifest;
  if (!out.flush()) {
    *error = "cannot write " + (route / "QuillMar.ini").string();
    return false;
  }
  return true;
}

}  // namespace qm::bench
