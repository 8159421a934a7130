// URL splitting as the HTTP client uses it for document URLs, proxy values
// and relocation targets.
#pragma once

#include <string>
#include <string_view>

namespace qm::http {

struct UrlParts {
  std::string scheme;
  std::string user;
  std::string password;
  std::string host;
  std::string port;
  std::string path;  // includes any query
};

// Splits url into its parts; base is the current request target, against
// which "./" and "../" forms are resolved. Parts the URL does not carry stay
// empty.
UrlParts SplitUrl(std::string_view url, std::string_view base = {});

// The target up to and including its last "/" or ":" before the first "?";
// empty when there is none.
std::string UrlBase(std::string_view target);

}  // namespace qm::http
