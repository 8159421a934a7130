#include "tools/cli/proxy_options.h"

namespace qm::cli {

std::vector<option> ProxyLongOptions() {
  return {{"proxy-port", required_argument, nullptr, kProxyPortOption}};
}

bool TakeProxyOption(int id, const std::string& value, ProxyOptions* proxy, std::string* error) {
  if (id == 'x') {
    proxy->proxy = value;
  } else if (id == kProxyPortOption) {
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) {
      *error = "bad proxy port: " + value;
    }
    proxy->port = value;
  } else if (id == 'U') {
    const size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0) {
      *error = "-U needs USER:PASSWORD";
    } else {
      proxy->user = value.substr(0, colon);
      proxy->password = value.substr(colon + 1);
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace qm::cli
