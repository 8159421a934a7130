// The proxy options of the tools that fetch as the updater does (qmfetch,
// qmpublish check): -x PROXY, --proxy-port PORT, -U USER:PASSWORD.
#pragma once

#include <getopt.h>

#include <string>
#include <vector>

namespace qm::cli {

inline constexpr int kProxyPortOption = 0x100;  // --proxy-port; -x and -U are letters
inline constexpr char kProxyShortOptions[] = "x:U:";
std::vector<option> ProxyLongOptions();

struct ProxyOptions {
  std::string proxy;
  std::string port = "80";
  std::string user;
  std::string password;
};

// Takes option id with its value when it is a proxy option. Returns false
// for another option; sets *error for a proxy option with a bad value.
bool TakeProxyOption(int id, const std::string& value, ProxyOptions* proxy, std::string* error);

}  // namespace qm::cli
