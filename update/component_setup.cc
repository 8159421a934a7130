#include "update/component_setup.h"

#include <string>

#include "http/http_cli.h"
#include "zip/unzip.h"

namespace qm::update {

void ConfigureUpdateComponents(http::THttpCli& http, zip::TUnZip& unzip) {
  http.LocalAddr = "0.0.0.0";
  http.ProxyPort = "80";
  http.Agent = "Mozilla/3.0 (compatible)";
  http.Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  http.NoCache = false;
  http.ContentTypePost = "application/x-www-form-urlencoded";
  unzip.CpuType = zip::TCpuType::cptAuto;
  // The update owns the game folder: a file that an earlier archive made
  // read-only is replaced like any other, which takes a confirmed overwrite.
  unzip.ConfirmOverwrites = true;
  unzip.OnFileExists = [](zip::TUnZip*, const std::string&, std::string& new_name,
                          zip::TOverwriteMode& mode) {
    new_name.clear();
    mode = zip::TOverwriteMode::omOverwrite;
  };
}

}  // namespace qm::update
