// Where a "location" header value sends the next request.
#pragma once

#include <string>

namespace qm::http {

struct RequestTarget {
  std::string host_name;    // the host to look up and connect to
  std::string target_host;  // the "Host: " value
  std::string port;         // the port to connect to
  std::string target;       // path, or the absolute URL through a proxy
};

struct Relocation {
  RequestTarget next;
  std::string location;  // the new document's URL, for Location
  // Credentials of an absolute location; set only when it names both.
  bool has_credentials = false;
  std::string user;
  std::string password;
};

// The next request after a relocation to value, from the current request.
// Through a proxy the host name and port stay the proxy's (the caller puts
// the proxy port back) and the target is an absolute URL.
Relocation ComputeRelocation(const std::string& value,
                             const RequestTarget& current,
                             bool through_proxy);

// The document name of a request path: its last segment without query,
// at most 255 bytes; "document.htm" for an empty path or one ending in "/".
std::string ComputeDocumentName(const std::string& path);

}  // namespace qm::http
