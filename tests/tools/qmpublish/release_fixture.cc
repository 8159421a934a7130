#include "tests/tools/qmpublish/release_fixture.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>

#include "tests/support/build_dirs.h"

namespace qm::publish::test {

fs::path PeFixture(const std::string& name) {
  return fs::path(test_support::BinaryDir()) / "tests" / "tools" / "qmpublish" / "pe" /
         (name + ".exe");
}

std::string QmpublishBinary() {
  return test_support::BinaryDir() + "/tools/qmpublish/qmpublish";
}

CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  const fs::path output = fs::path(ReleaseFixture::servers().work_dir) /
                          ("command" + std::to_string(std::random_device()()) + ".out");
  const int status = std::system((command + " >'" + output.string() + "' 2>&1").c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.output = ReadFileBytes(output);
  fs::remove(output);
  return run;
}

ReleaseFixture::ReleaseFixture() {
  std::random_device random;
  id_ = "pub" + std::to_string(random()) + std::to_string(random());
  out_ = fs::path(servers().work_dir) / "www" / id_;
  second_ = fs::path(servers().work_dir) / "www2" / id_;
}

ReleaseFixture::~ReleaseFixture() {
  std::error_code ignored;
  fs::remove_all(out_, ignored);
  fs::remove_all(second_, ignored);
}

void ReleaseFixture::WriteFirstRelease() {
  fs::create_directories(release_ / "launcher");
  fs::copy_file(PeFixture("QuillMar"), release_ / "launcher" / "QuillMar.exe");
  Put("splash/Sp.Gif", "GIF89a picture");
  std::string engine;
  for (int i = 0; i < 2000; ++i) {
    engine += "engine line " + std::to_string(i * 7919 % 1000) + "\n";
  }
  Put("engine/Game.bin", engine);
  Put("engine/_QuillMar_.exe", "the game client");
  fs::permissions(release_ / "engine" / "_QuillMar_.exe",
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  Put("engine/maps/\xed\x95\x9c\xea\xb8\x80.map", "korean name");  // 한글.map
  fs::create_directories(release_ / "engine" / "saves");
  Put("data/items.txt", "items v1");
  Put("adata/1/voice1.dat", "voice set one");
  Put("bdata/1/music1.dat", "music set one");
  fs::create_directories(release_ / "components");
  fs::copy_file(PeFixture("Component"), release_ / "components" / "Foo.dll");
}

PublishResult ReleaseFixture::Publish(std::vector<std::string> mirrors) {
  PublishOptions options;
  options.release = release_;
  options.out = out_;
  options.mirrors = std::move(mirrors);
  options.bk = "bk text";
  options.bkp = "bkp";
  return qm::publish::Publish(options);
}

std::string ReleaseFixture::BaseUrl() const {
  return servers().NginxUrl("/" + id_);
}

std::string ReleaseFixture::MirrorUrl(bool second) const {
  const int port = second ? servers().other_port : servers().nginx_port;
  return "http://127.0.0.1:" + std::to_string(port) + "/" + id_ + "/QuillMar/";
}

void ReleaseFixture::CopyToSecondServer() const {
  fs::create_directories(second_);
  fs::copy(out_ / "QuillMar", second_ / "QuillMar", fs::copy_options::recursive);
}

std::vector<fs::path> ReleaseFixture::Archives() const {
  std::vector<fs::path> archives;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(out_)) {
    if (entry.path().extension() == ".zip") {
      archives.push_back(entry.path());
    }
  }
  std::sort(archives.begin(), archives.end());
  return archives;
}

}  // namespace qm::publish::test
