#include "http/relocation.h"

#include "http/url.h"

namespace qm::http {
namespace {

std::string PortSuffix(const std::string& port) {
  return port.empty() || port == "80" ? std::string() : ":" + port;
}

}  // namespace

Relocation ComputeRelocation(const std::string& value,
                             const RequestTarget& current,
                             bool through_proxy) {
  Relocation r;
  r.next = current;
  if (value.starts_with("http://")) {
    UrlParts url = SplitUrl(value, current.target);
    if (!url.user.empty() && !url.password.empty()) {
      r.has_credentials = true;
      r.user = url.user;
      r.password = url.password;
    }
    r.next.target_host = url.host;
    std::string path = url.path.empty() ? "/" : url.path;
    r.location = url.scheme + "://" + url.host + PortSuffix(url.port) + path;
    if (through_proxy) {
      // The proxy needs the new server's port inside the absolute URL.
      r.next.target = r.location;
    } else {
      r.next.host_name = url.host;
      r.next.port = url.port.empty() ? "80" : url.port;
      r.next.target = path;
    }
    return r;
  }

  if (through_proxy) {
    UrlParts url = SplitUrl(current.target);
    std::string origin =
        (url.scheme.empty() ? "http" : url.scheme) + "://" + url.host + PortSuffix(url.port);
    r.next.target = value.starts_with("/") ? origin + value : UrlBase(current.target) + value;
    r.location = r.next.target;
    return r;
  }

  std::string origin = "http://" + current.host_name + PortSuffix(current.port);
  r.next.target = value.starts_with("/") ? value : UrlBase(current.target) + value;
  if (r.next.target.empty()) {
    r.next.target = "/";
  }
  r.location = origin + (r.next.target.starts_with("/") ? "" : "/") + r.next.target;
  return r;
}

std::string ComputeDocumentName(const std::string& path) {
  std::string name = path.substr(0, path.find('?'));
  if (name.empty() || name.back() == '/') {
    return "document.htm";
  }
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) {
    name = name.substr(slash + 1);
  }
  return name.substr(0, 255);
}

}  // namespace qm::http
