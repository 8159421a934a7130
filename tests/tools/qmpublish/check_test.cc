// qmpublish check against nginx mirrors, directly and through tinyproxy:
// a good server, a missing archive, a damaged archive and a mirror that is
// down each give the rows the updater would meet.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <utility>

#include "tests/tools/qmpublish/release_fixture.h"
#include "tools/qmpublish/check.h"

namespace qm::publish::test {
namespace {

using Failures = std::set<std::pair<std::string, std::string>>;  // mirror, item

TEST(CheckTest, FindsEveryArchiveThatAPlayerWouldMiss) {
  struct Case {
    const char* name;
    // Changes the server after a publication to both nginx servers.
    std::function<void(ReleaseFixture&, const PublishResult&, CheckOptions&)> change;
    Failures failures;
    const char* result;  // part of the failing rows' result
  };
  const std::vector<Case> cases = {
      {"good server", [](ReleaseFixture&, const PublishResult&, CheckOptions&) {}, {}, ""},
      {"good server through the proxy",
       [](ReleaseFixture&, const PublishResult&, CheckOptions& o) {
         o.proxy = "127.0.0.1";
         o.proxy_port = std::to_string(ReleaseFixture::servers().proxy_port);
         o.proxy_user = "user";
         o.proxy_password = "password";
       },
       {},
       ""},
      {"archive missing on the second mirror",
       [](ReleaseFixture& f, const PublishResult& r, CheckOptions&) {
         fs::remove(fs::path(ReleaseFixture::servers().work_dir) / "www2" / f.out().filename() /
                    "QuillMar" / r.engine_folder / "BData1.zip");
       },
       {{"Path1", "BData1"}},
       "status 404"},
      {"damaged archive",
       [](ReleaseFixture& f, const PublishResult& r, CheckOptions&) {
         const fs::path data = f.Served(r.engine_folder + "/Data.zip");
         std::string bytes = ReadFileBytes(data);
         bytes[41] = static_cast<char>(bytes[41] ^ 0x55);  // in the stored "items v1"
         WriteFileBytes(data, bytes);
       },
       {{"Path0", "data"}},
       "does not unpack"},
      {"mirror down",
       [](ReleaseFixture& f, const PublishResult&, CheckOptions&) {
         const std::string down =
             "http://127.0.0.1:" + std::to_string(ReleaseFixture::servers().refused_port) +
             "/QuillMar/";
         f.Publish({f.MirrorUrl(false), down});
       },
       {{"Path1", "launcher"},
        {"Path1", "splash"},
        {"Path1", "engine"},
        {"Path1", "data"},
        {"Path1", "AData1"},
        {"Path1", "BData1"},
        {"Path1", "Foo.dll"}},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseFixture f;
    f.WriteFirstRelease();
    const PublishResult published = f.Publish({f.MirrorUrl(false), f.MirrorUrl(true)});
    f.CopyToSecondServer();
    CheckOptions options;
    options.base_url = f.BaseUrl();
    c.change(f, published, options);

    const CheckReport report = Check(options, stdout, nullptr);
    Failures failures;
    std::set<std::string> mirrors;
    for (const CheckRow& row : report.rows) {
      mirrors.insert(row.mirror);
      if (!row.ok) {
        failures.emplace(row.mirror, row.item);
        EXPECT_NE(row.result.find(c.result), std::string::npos) << row.result;
      }
    }
    EXPECT_EQ(failures, c.failures);
    EXPECT_EQ(report.problems.size(), c.failures.size());
    // Seven archives from each of the two mirrors that can be chosen.
    EXPECT_EQ(mirrors, (std::set<std::string>{"Path0", "Path1"}));
    EXPECT_EQ(report.rows.size(), 14u);
  }
}

TEST(CheckTest, CommandLineExitsNonZeroOnAProblem) {
  ReleaseFixture f;
  f.WriteFirstRelease();
  const PublishResult published = f.Publish();
  const std::string command = QmpublishBinary() + " check " + f.BaseUrl();
  CommandRun run = RunCommand(command);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("every archive is there and unpacks"), std::string::npos);

  fs::remove(f.Served(published.engine_folder + "/Part.zip"));
  run = RunCommand(command);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("FAIL"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Part.zip"), std::string::npos);

  run = RunCommand(QmpublishBinary() + " check http://127.0.0.1:" +
                   std::to_string(ReleaseFixture::servers().refused_port));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("cannot fetch the manifest"), std::string::npos) << run.output;
}

TEST(CheckTest, HelpPrintsTheUsageAndSucceeds) {
  for (const char* arguments : {"--help", "-h", "publish --help", "check -h"}) {
    SCOPED_TRACE(arguments);
    const CommandRun run = RunCommand(QmpublishBinary() + " " + arguments);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind("usage: qmpublish publish", 0), 0u) << run.output;
    EXPECT_EQ(run.output.find("unknown"), std::string::npos) << run.output;
  }
}

}  // namespace
}  // namespace qm::publish::test
