// SplitUrl and UrlBase on any bytes: input is URL "\n" base.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/relocation.h"
#include "http/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  std::string url = input.substr(0, newline);
  std::string base = newline == std::string::npos ? "" : input.substr(newline + 1);

  qm::http::UrlParts parts = qm::http::SplitUrl(url, base);
  bool relative = url.starts_with("./") || url.starts_with("../");
  if (!relative) {
    // Every part is cut from the URL itself.
    for (const std::string* part :
         {&parts.user, &parts.password, &parts.host, &parts.port, &parts.path}) {
      if (url.find(*part) == std::string::npos)
        std::abort();
    }
  } else if (!parts.host.empty() || !parts.port.empty() || !parts.scheme.empty()) {
    std::abort();
  }

  std::string url_base = qm::http::UrlBase(url);
  if (!url.starts_with(url_base))
    std::abort();

  qm::http::RequestTarget current{"h", "h", "80", base};
  qm::http::ComputeRelocation(url, current, false);
  qm::http::ComputeRelocation(url, current, true);
  qm::http::ComputeDocumentName(url);
  return 0;
}
