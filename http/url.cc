#include "http/url.h"

#include "util/ascii.h"

namespace qm::http {
namespace {

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The base up to and including its last "/", or "/" when it has none.
std::string BaseDirectory(std::string_view base) {
  size_t slash = base.rfind('/');
  if (slash == std::string_view::npos) {
    return "/";
  }
  return std::string(base.substr(0, slash + 1));
}

void SplitAuthorityAndPath(std::string_view rest, UrlParts& parts) {
  size_t path_start = rest.find_first_of("/?");
  std::string_view authority = rest;
  if (path_start != std::string_view::npos) {
    parts.path = std::string(rest.substr(path_start));
    authority = rest.substr(0, path_start);
  }
  size_t colon = authority.rfind(':');
  size_t at = authority.rfind('@');
  if (colon == std::string_view::npos && at == std::string_view::npos) {
    parts.host = std::string(authority);
    return;
  }
  if (colon != std::string_view::npos && (at == std::string_view::npos || colon > at)) {
    parts.port = std::string(authority.substr(colon + 1));
    size_t host_start = at == std::string_view::npos ? 0 : at + 1;
    parts.host = std::string(authority.substr(host_start, colon - host_start));
  } else {
    parts.host = std::string(authority.substr(at + 1));
  }
  if (at == std::string_view::npos) {
    return;
  }
  std::string_view user_info = authority.substr(0, at);
  size_t separator = user_info.find(':');
  if (separator == std::string_view::npos) {
    parts.user = std::string(user_info);
  } else {
    parts.user = std::string(user_info.substr(0, separator));
    parts.password = std::string(user_info.substr(separator + 1));
  }
}

}  // namespace

UrlParts SplitUrl(std::string_view url, std::string_view base) {
  UrlParts parts;
  if (url.empty()) {
    return parts;
  }

  if (url.starts_with("./")) {
    parts.path = BaseDirectory(base) + std::string(url.substr(2));
    return parts;
  }
  if (url.starts_with("../")) {
    std::string directory = BaseDirectory(base);
    while (url.starts_with("../")) {
      url.remove_prefix(3);
      directory.pop_back();  // the final "/"
      size_t slash = directory.rfind('/');
      directory = slash == std::string::npos ? "/" : directory.substr(0, slash + 1);
    }
    parts.path = directory + std::string(url);
    return parts;
  }

  size_t separator = url.find("://");
  if (separator != std::string_view::npos) {
    bool valid_scheme = true;
    for (char c : url.substr(0, separator)) {
      valid_scheme = valid_scheme && IsSchemeChar(c);
    }
    if (valid_scheme) {
      parts.scheme = std::string(url.substr(0, separator));
      SplitAuthorityAndPath(url.substr(separator + 3), parts);
      return parts;
    }
    parts.scheme = "http";
  }

  std::string_view rest = url;
  if (url[0] == '/') {
    parts.scheme = "http";
    if (url.size() > 1 && url[1] != '/') {
      parts.path = std::string(url);
      return parts;
    }
    rest = url.substr(1);
  } else if (StartsWithIgnoringAsciiCase(url, "http:")) {
    parts.scheme = "http";
    if (url.size() > 6 && url[6] != '/') {
      parts.path = std::string(url.substr(5));
      return parts;
    }
    rest = url.size() > 6 ? url.substr(6) : std::string_view();
  } else if (StartsWithIgnoringAsciiCase(url, "mailto:")) {
    parts.scheme = "mailto";
    rest = url.substr(url.find(':') + 1);
  }
  SplitAuthorityAndPath(rest, parts);
  return parts;
}

std::string UrlBase(std::string_view target) {
  std::string_view before_query = target.substr(0, target.find('?'));
  size_t last = before_query.find_last_of("/:");
  if (last == std::string_view::npos) {
    return {};
  }
  return std::string(target.substr(0, last + 1));
}

}  // namespace qm::http
