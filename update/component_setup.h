// The fixed configuration of the HTTP client and the extractor that the
// update run works through.
#pragma once

namespace qm::http {
class THttpCli;
}
namespace qm::zip {
class TUnZip;
}

namespace qm::update {

void ConfigureUpdateComponents(http::THttpCli& http, zip::TUnZip& unzip);

}  // namespace qm::update
