// A release folder, the server tree that the publisher makes of it below
// nginx's root, and the helpers both publisher tests use.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/http/http_servers.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "tools/qmpublish/publish.h"

namespace qm::publish::test {

namespace fs = std::filesystem;

using test_support::ReadFileBytes;
using test_support::WriteFileBytes;

// A PE image with a version resource, built for these tests.
fs::path PeFixture(const std::string& name);

// Exit status and output of a shell command.
struct CommandRun {
  int status = -1;
  std::string output;  // standard output and error
};
CommandRun RunCommand(const std::string& command);
std::string QmpublishBinary();

class ReleaseFixture {
 public:
  ReleaseFixture();
  ~ReleaseFixture();
  ReleaseFixture(const ReleaseFixture&) = delete;
  ReleaseFixture& operator=(const ReleaseFixture&) = delete;

  static const http::test::HttpServers& servers() { return http::test::HttpServers::Get(); }

  // The first release: launcher, splash, engine (with a sub-folder, an
  // empty folder and a Korean name), data, one A-data and one B-data set
  // and the component Foo.dll.
  void WriteFirstRelease();
  // A file of the release, path below the release folder.
  void Put(const std::string& path, const std::string& data) {
    WriteFileBytes(release_ / path, data);
  }

  PublishResult Publish(std::vector<std::string> mirrors = {});
  // The updater's base URL for this server tree (served by nginx).
  std::string BaseUrl() const;
  // This tree's QuillMar folder as served by the first or second nginx.
  std::string MirrorUrl(bool second) const;
  // Copies the published QuillMar folder below the second nginx's root.
  void CopyToSecondServer() const;

  const fs::path& release() const { return release_; }
  const fs::path& out() const { return out_; }
  fs::path Served(const std::string& path) const { return out_ / "QuillMar" / path; }
  // Every .zip of the server tree.
  std::vector<fs::path> Archives() const;
  std::string Manifest() const { return ReadFileBytes(Served("QuillMar.ini")); }

 private:
  std::string id_;
  test_support::TempDir release_dir_{"pub-release"};
  fs::path release_ = release_dir_.path();
  fs::path out_;
  fs::path second_;
};

}  // namespace qm::publish::test
