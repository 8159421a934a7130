#include "bench/update/fault_route.h"

#include "bench/update/publication.h"
#include "bench/update/publication_route.h"

namespace qm::bench {

namespace fs = std::filesystem;

bool RouteThroughFaultServer(const fs::path& www, const std::string& manifest, std::string* error) {
  return RoutePublication(www / "QuillMar", www / kFaultRoute / "QuillMar",
                          WithoutSection(manifest, "P"), error);
}

}  // namespace qm::bench
