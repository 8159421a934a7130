// The lines of an HTTP/1.0 request, composed from the client's settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::http {

struct RequestFields {
  std::string method = "GET";
  std::string target = "/";  // path, or the absolute URL through a proxy
  std::string version = "1.0";
  std::string sender;
  std::string accept;
  std::string reference;
  std::string accept_language;
  std::string content_type_post;
  std::string agent;
  std::string host;  // the target host alone, never its port
  bool no_cache = false;
  double modified_since = 0;  // days since 1899-12-30
  std::string username;
  std::string password;
  std::string proxy;
  std::string proxy_username;
  std::string proxy_password;
  std::string cookie;
  std::string range_begin;
  std::string range_end;
  int64_t post_size = -1;  // size of the body of a POST
};

// The request lines in sending order, without line ends or the blank line.
std::vector<std::string> ComposeRequestLines(const RequestFields& fields);

// "Wed, 09 Dec 2026 23:38:15" for a date given as days since 1899-12-30.
std::string FormatHttpDate(double days);

}  // namespace qm::http
