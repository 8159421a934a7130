#include "bench/update/fault_route.h"

#include <fstream>

#include "bench/update/publication.h"

namespace qm::bench {

namespace fs = std::filesystem;

bool RouteThroughFaultServer(const fs::path& www, const std::string& manifest, std::string* error) {
  const fs::path published = www / "QuillMar";
  const fs::path route = www / kFaultRoute / "QuillMar";
  std::error_code ec;
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
  out << WithoutSection(manifest, "P");
  if (!out.flush()) {
    *error = "cannot write " + (route / "QuillMar.ini").string();
    return false;
  }
  return true;
}

}  // namespace qm::bench
