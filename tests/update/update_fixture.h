// A game folder and a release below nginx's root, and the update run
// between them, shared by the tests of the update run.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "http/http_cli.h"
#include "platform/ini_file.h"
#include "tests/http/http_servers.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tests/zip/zip_builder.h"
#include "update/component_setup.h"
#include "update/update_run.h"
#include "zip/unzip.h"

namespace qm::update::test {

using http::test::HttpServers;
namespace fs = std::filesystem;

using test_support::ReadFileBytes;
using test_support::WriteFileBytes;

// An archive whose one member name.txt holds content.
inline std::string Archive(const std::string& name, const std::string& content) {
  return zip::testing::BuildZip({{name + ".txt", content}});
}

// The same archive with the member's stored bytes changed: its CRC fails.
inline std::string DamagedArchive(const std::string& name, const std::string& content) {
  std::string zip = Archive(name, content);
  const size_t data = 30 + name.size() + 4;
  zip[data] = static_cast<char>(zip[data] ^ 0x55);
  return zip;
}

class RecordingHost : public UpdateHost {
 public:
  void SetStatus(const std::string& text) override {
    status = text;
    shown.push_back(text);
    if (on_status) {
      on_status(text);
    }
  }
  void ResetProgress() override {}

  std::string status = "On Connecting to Host.....";
  std::vector<std::string> shown;
  std::function<void(const std::string&)> on_status;
};

// One game folder and one release below nginx's root.
class UpdateFixture {
 public:
  UpdateFixture() {
    std::random_device random;
    id_ = "upd" + std::to_string(random()) + std::to_string(random());
    release_ = fs::path(servers().work_dir) / "www" / id_;
    state.AppDir = app_.string();
    state.FileVersionText = "3.0.0.0";
    state.VersionField1 = "82001";
    state.VersionField3 = "500";
    state.SplashVersion = "3";
    state.UpdateMarker = "?";
    state.LocalPartVersion = "12";
    state.LocalDataVersion = "7";
    state.LocalAData = std::make_unique<StringList>(StringList{"AData1=5", "AData2=2"});
    state.LocalBData = std::make_unique<StringList>(StringList{"BData1=4"});
    ConfigureUpdateComponents(http, unzip);
    http.OnRequestHeaderBegin = [this](http::THttpCli* sender) {
      const std::string prefix = BaseUrl() + "/";
      std::string url = sender->URL;
      requested.push_back(url.rfind(prefix, 0) == 0 ? url.substr(prefix.size()) : url);
    };
  }
  ~UpdateFixture() {
    std::error_code ignored;
    fs::remove_all(release_, ignored);
  }

  static const HttpServers& servers() { return HttpServers::Get(); }
  std::string BaseUrl() const { return servers().NginxUrl("/" + id_); }
  // A file of the release, path below the base URL.
  void Serve(const std::string& path, const std::string& data) {
    WriteFileBytes(release_ / path, data);
  }
  void ServeManifest(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
      text += line + "\r\n";
    }
    Serve("QuillMar/QuillMar.ini", text);
  }
  fs::path App(const std::string& name) const { return app_ / name; }
  std::string Installed(const std::string& section, const std::string& key) const {
    return platform::IniFile((app_ / "QuillMar.ini").string()).ReadString(section, key, "");
  }

  int32_t Run() {
    UpdateRun run(state, host, http, unzip, BaseUrl());
    run.random = [this] { return mirror_random; };
    run.public_key = public_key;
    return run.DownLoadFile();
  }

  LauncherState state;
  RecordingHost host;
  http::THttpCli http;
  zip::TUnZip unzip;
  std::vector<std::string> requested;
  uint32_t mirror_random = 0;
  std::optional<platform::EcdsaP256PublicKey> public_key;

 private:
  std::string id_;
  fs::path release_;
  test_support::TempDir app_dir_{"upd"};
  fs::path app_ = app_dir_.path();
};

}  // namespace qm::update::test
