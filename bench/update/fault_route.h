// The way to the archives through the fault server: the launcher built for
// base URL http://127.0.0.1:<fault port>/faults reads its manifest from
// www/faults/QuillMar/, which names no mirror, so that its one download base
// is below /faults/QuillMar/ as well and every byte it fetches passes the
// fault server (the mirror line of the published manifest leads to nginx
// directly). Failover has no second source to go to: what is measured is
// the resume on the same one.
#pragma once

#include <filesystem>
#include <string>

namespace qm::bench {

inline constexpr char kFaultRoute[] = "faults";

// Serves manifest (a published manifest's text) at
// www/faults/QuillMar/QuillMar.ini and everything else of www/QuillMar/
// below www/faults/QuillMar/ as links; false with a reason in *error.
bool RouteThroughFaultServer(const std::filesystem::path& www,
                             const std::string& manifest,
                             std::string* error);

}  // namespace qm::bench
