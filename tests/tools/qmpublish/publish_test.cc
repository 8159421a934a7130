// Publishing a release and installing it with the real update run through
// nginx: a fresh installation, an up-to-date start, and a second release
// that brings only what changed; the refusals; the bytes of the archives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "http/http_cli.h"
#include "platform/ini_file.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/qmpublish/release_fixture.h"
#include "tools/qmpublish/publish_error.h"
#include "update/component_setup.h"
#include "update/installed_state.h"
#include "update/settings_rules.h"
#include "update/update_run.h"
#include "util/string_helpers.h"
#include "util/version_string.h"
#include "zip/unzip.h"

namespace qm::publish::test {
namespace {

class SilentHost : public update::UpdateHost {
 public:
  void SetStatus(const std::string& text) override { status_ = text; }
  void ResetProgress() override {}

 private:
  std::string status_;
};

// The updater looks components up by bare name, from the game folder on
// Windows; here, from the current folder.
class InFolder {
 public:
  explicit InFolder(const fs::path& folder) : before_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~InFolder() {
    std::error_code ignored;
    fs::current_path(before_, ignored);
  }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  fs::path before_;
};

// A game folder that holds the launcher of the first release, and the
// update run as the launcher starts it.
class GameFolder {
 public:
  GameFolder() { fs::copy_file(PeFixture("QuillMar"), app_ / "QuillMar.exe"); }
  GameFolder(const GameFolder&) = delete;
  GameFolder& operator=(const GameFolder&) = delete;

  // Runs the update; requested: the URLs fetched, below the base URL.
  int32_t Run(const std::string& base_url, std::vector<std::string>* requested) {
    LauncherState state;
    state.AppDir = app_.string();
    const std::string launcher = state.AppDir + "\\QuillMar.exe";
    update::ReadLauncherVersions(state, launcher);
    state.UpdateMarker = "?";
    // As the window reads it: a picture present is taken as shown.
    const bool splash = fs::exists(app_ / "Sp.Gif");
    state.SplashVersion = splash ? "" : "-1";
    update::ReadInstalledState(state, splash);

    SilentHost host;
    http::THttpCli http;
    zip::TUnZip unzip;
    update::ConfigureUpdateComponents(http, unzip);
    http.OnRequestHeaderBegin = [&](http::THttpCli* sender) {
      const std::string prefix = base_url + "/";
      const std::string& url = sender->URL;
      requested->push_back(url.rfind(prefix, 0) == 0 ? url.substr(prefix.size()) : url);
    };
    update::UpdateRun run(state, host, http, unzip, base_url);
    const InFolder here(app_);
    return run.DownLoadFile();
  }

  std::string Installed(const std::string& section, const std::string& key) const {
    return platform::IniFile((app_ / "QuillMar.ini").string()).ReadString(section, key, "");
  }
  const fs::path& app() const { return app_; }

 private:
  test_support::TempDir app_dir_{"game"};
  fs::path app_ = app_dir_.path();
};

// Every archive passes Info-ZIP's own test.
void ExpectInfoZipAccepts(const ReleaseFixture& f) {
  for (const fs::path& archive : f.Archives()) {
    const CommandRun run = RunCommand("unzip -tqq '" + archive.string() + "'");
    EXPECT_EQ(run.status, 0) << archive << "\n" << run.output;
  }
}

// Every file of these release folders is in the game folder as it was.
void ExpectInstalled(const ReleaseFixture& f,
                     const GameFolder& game,
                     const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    for (const auto& entry : fs::recursive_directory_iterator(f.release() / folder)) {
      if (entry.is_regular_file()) {
        const fs::path relative = entry.path().lexically_relative(f.release() / folder);
        EXPECT_EQ(ReadFileBytes(game.app() / relative), ReadFileBytes(entry.path())) << relative;
      }
    }
  }
}

TEST(PublishTest, UpdateRunInstallsTheReleaseAndReleaseTwoBringsOnlyWhatChanged) {
  ReleaseFixture f;
  f.WriteFirstRelease();
  const PublishResult first = f.Publish();
  ExpectInfoZipAccepts(f);
  const std::string r1 = "QuillMar/" + first.engine_folder + "/";

  GameFolder game;
  std::vector<std::string> requested;
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  EXPECT_EQ(requested,
            (std::vector<std::string>{"QuillMar/QuillMar.ini", "QuillMar/82001500_Sp.zip",
                                      r1 + "Part.zip", r1 + "Data.zip", "QuillMar/AData1.zip",
                                      r1 + "BData1.zip", r1 + "Foo.zip"}));
  ExpectInstalled(f, game, {"splash", "engine", "data", "adata/1", "bdata/1", "components"});
  // The client keeps its execute bits, so it can be started here too.
  const auto executable = [&](const char* name) {
    return (fs::status(game.app() / name).permissions() & fs::perms::owner_exec) != fs::perms::none;
  };
  EXPECT_TRUE(executable("_QuillMar_.exe"));
  EXPECT_FALSE(executable("Game.bin"));
  EXPECT_EQ(game.Installed("V", "Part"), "1");
  EXPECT_EQ(game.Installed("AData", "AData1"), "1");

  requested.clear();
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  EXPECT_EQ(requested, std::vector<std::string>{"QuillMar/QuillMar.ini"});

  f.Put("engine/Game.bin", "engine of release two");
  f.Put("adata/2/voice2.dat", "voice set two");
  const PublishResult second = f.Publish();
  ExpectInfoZipAccepts(f);
  EXPECT_NE(second.engine_folder, first.engine_folder);
  const std::string r2 = "QuillMar/" + second.engine_folder + "/";
  requested.clear();
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  EXPECT_EQ(requested, (std::vector<std::string>{"QuillMar/QuillMar.ini", r2 + "Part.zip",
                                                 "QuillMar/AData2.zip"}));
  ExpectInstalled(f, game, {"engine", "adata/2"});
  EXPECT_EQ(game.Installed("V", "Part"), "2");
  EXPECT_EQ(game.Installed("V", "Data"), "1");
  EXPECT_EQ(game.Installed("AData", "AData2"), "1");
  // A cache that still holds the first release's Part.zip cannot hand it
  // out for the second: the URL is another.
  EXPECT_EQ(ReadFileBytes(f.out() / (r1 + "Part.zip")).empty(), false);

  std::map<std::string, std::string> actions;
  for (const PublishedItem& item : second.items) {
    actions[item.label] = item.action;
  }
  EXPECT_EQ(actions["engine"], "compressed");
  EXPECT_EQ(actions["data"], "copied");
  EXPECT_EQ(actions["A-data 1"], "unchanged");
}

TEST(PublishTest, LauncherWithANewVersionKeyReachesPlayersOfTheOldOne) {
  ReleaseFixture f;
  f.WriteFirstRelease();
  f.Publish();
  GameFolder game;
  std::vector<std::string> requested;
  ASSERT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);

  fs::copy_file(PeFixture("Launcher2"), f.release() / "launcher" / "QuillMar.exe",
                fs::copy_options::overwrite_existing);
  const PublishResult second = f.Publish();
  EXPECT_EQ(second.version_key, "82002600");
  requested.clear();
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  // The old launcher asks under its own key and gets the new one.
  EXPECT_EQ(requested,
            (std::vector<std::string>{"QuillMar/QuillMar.ini", "QuillMar/82001500.zip"}));
  EXPECT_EQ(ReadFileBytes(game.app() / "QuillMar.exe"), ReadFileBytes(PeFixture("Launcher2")));

  // The new launcher asks under its key; only its splash line is new to it.
  requested.clear();
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  EXPECT_EQ(requested,
            (std::vector<std::string>{"QuillMar/QuillMar.ini", "QuillMar/82002600_Sp.zip"}));
  requested.clear();
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  EXPECT_EQ(requested, std::vector<std::string>{"QuillMar/QuillMar.ini"});
}

TEST(PublishTest, ReleaseWithoutASplashAsksForNoSplashArchive) {
  ReleaseFixture f;
  f.WriteFirstRelease();
  fs::remove_all(f.release() / "splash");
  const PublishResult published = f.Publish();
  const std::string manifest = ReadFileBytes(f.out() / "QuillMar" / "QuillMar.ini");
  EXPECT_NE(manifest.find("[SP]\r\n82001500_Sp=-1"), std::string::npos) << manifest;
  const std::string r1 = "QuillMar/" + published.engine_folder + "/";

  GameFolder game;
  std::vector<std::string> requested;
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  EXPECT_EQ(requested,
            (std::vector<std::string>{"QuillMar/QuillMar.ini", r1 + "Part.zip", r1 + "Data.zip",
                                      "QuillMar/AData1.zip", r1 + "BData1.zip", r1 + "Foo.zip"}));
  requested.clear();
  EXPECT_EQ(game.Run(f.BaseUrl(), &requested), update::kUpdateDone);
  EXPECT_EQ(requested, std::vector<std::string>{"QuillMar/QuillMar.ini"});
}

TEST(PublishTest, SameReleaseGivesTheSameBytesAndNamesInCodePage949) {
  ReleaseFixture a;
  ReleaseFixture b;
  a.WriteFirstRelease();
  b.WriteFirstRelease();
  // Other times and an other order of creation must not matter.
  fs::last_write_time(b.release() / "data" / "items.txt",
                      fs::file_time_type::clock::now() - std::chrono::hours(100));
  a.Publish();
  b.Publish();
  const std::vector<fs::path> archives = a.Archives();
  ASSERT_EQ(archives.size(), b.Archives().size());
  for (const fs::path& archive : archives) {
    const fs::path relative = archive.lexically_relative(a.out());
    EXPECT_EQ(ReadFileBytes(archive), ReadFileBytes(b.out() / relative)) << relative;
  }
  EXPECT_EQ(a.Manifest(), b.Manifest());

  // 한글.map in code page 949, and the empty folder as a stored entry that
  // Info-ZIP recreates.
  fs::path engine_zip;
  for (const fs::path& archive : archives) {
    if (archive.filename() == "Part.zip") {
      engine_zip = archive;
    }
  }
  const std::string bytes = ReadFileBytes(engine_zip);
  EXPECT_NE(bytes.find("maps/\xc7\xd1\xb1\xdb.map"), std::string::npos);
  const fs::path unpacked = a.out() / "unpacked";
  const CommandRun run =
      RunCommand("unzip -qq '" + engine_zip.string() + "' -d '" + unpacked.string() + "'");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(fs::is_directory(unpacked / "saves"));
  EXPECT_TRUE(fs::is_empty(unpacked / "saves"));
  EXPECT_NE(fs::status(unpacked / "_QuillMar_.exe").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

TEST(PublishTest, MirrorLinesLetTheUpdaterChooseEveryMirror) {
  for (size_t count : {1u, 2u, 3u}) {
    SCOPED_TRACE(count);
    ReleaseFixture f;
    f.WriteFirstRelease();
    std::vector<std::string> mirrors;
    for (size_t i = 0; i < count; ++i) {
      mirrors.push_back("http://127.0.0.1:" + std::to_string(8000 + i) + "/QuillMar/");
    }
    f.Publish(mirrors);
    const platform::IniFile ini(f.Served("QuillMar.ini").string());
    StringList lines;
    ini.ReadSectionValues("P", lines);
    std::set<std::string> chosen;
    for (uint32_t random = 0; random < 200; ++random) {
      const int k = update::ChooseMirrorIndex(static_cast<int>(lines.size()), random);
      chosen.insert(R_Trim(ini.ReadString("P", "Path" + std::to_string(k), "")));
    }
    EXPECT_EQ(chosen, std::set<std::string>(mirrors.begin(), mirrors.end()));
  }
}

TEST(PublishTest, RefusesWhatWouldNotReachPlayersAndKeepsThePublishedTree) {
  struct Case {
    const char* name;
    std::function<void(ReleaseFixture&, PublishOptions&)> change;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"component without a version resource",
       [](ReleaseFixture& f, PublishOptions&) { f.Put("components/Bar.dll", "no PE image"); },
       "Bar.dll has no readable FileVersion"},
      {"FileVersion holding a semicolon",
       [](ReleaseFixture& f, PublishOptions&) {
         fs::copy_file(PeFixture("Semicolon"), f.release() / "components" / "Semi.dll");
       },
       "FileVersion \"1.0;3\" holds \";\""},
      {"client text holding a semicolon",
       [](ReleaseFixture&, PublishOptions& o) { o.bk = "server=1;port=2"; },
       "--bk text \"server=1;port=2\" holds \";\""},
      {"https mirror",
       [](ReleaseFixture&, PublishOptions& o) { o.mirrors = {"https://127.0.0.1/q/"}; },
       "is not an http:// URL"},
      {"gap in the A-data sets",
       [](ReleaseFixture& f, PublishOptions&) { f.Put("adata/3/x.dat", "x"); }, "set 2 is missing"},
      {"name that code page 949 cannot write",
       [](ReleaseFixture& f, PublishOptions&) { f.Put("data/\xf0\x9f\x98\x80.txt", "x"); },
       "code page 949 cannot write"},
      {"two components in one archive",
       [](ReleaseFixture& f, PublishOptions&) {
         fs::copy_file(PeFixture("Component"), f.release() / "components" / "Foo.exe");
       },
       "would share the archive Foo.zip"},
      {"names that differ only in case",
       [](ReleaseFixture& f, PublishOptions&) { f.Put("data/ITEMS.txt", "x"); },
       "differ only in letter case"},
      {"name with a tab", [](ReleaseFixture& f, PublishOptions&) { f.Put("data/a\tb.txt", "x"); },
       "a name with a tab or a line break"},
      {"name with a line break",
       [](ReleaseFixture& f, PublishOptions&) { f.Put("engine/maps/a\nb.map", "x"); },
       "a name with a tab or a line break"},
      {"launcher missing",
       [](ReleaseFixture& f, PublishOptions&) {
         fs::remove(f.release() / "launcher" / "QuillMar.exe");
       },
       "launcher/QuillMar.exe; the release needs the launcher"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReleaseFixture f;
    f.WriteFirstRelease();
    f.Publish();
    const std::string manifest = f.Manifest();
    const std::vector<fs::path> archives = f.Archives();

    f.Put("data/items.txt", "items v2");  // a change that would be published
    PublishOptions options;
    options.release = f.release();
    options.out = f.out();
    c.change(f, options);
    try {
      Publish(options);
      ADD_FAILURE() << "published";
    } catch (const PublishError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(f.Manifest(), manifest);
    EXPECT_EQ(f.Archives(), archives);
  }
}

TEST(PublishTest, CommandLineSaysWhatIsWrongAndPublishesNothing) {
  ReleaseFixture f;
  f.WriteFirstRelease();
  f.Put("components/Bar.dll", "no PE image");
  const CommandRun run = RunCommand(QmpublishBinary() + " publish '" + f.release().string() +
                                    "' '" + f.out().string() + "'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("Bar.dll has no readable FileVersion"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("nothing was published"), std::string::npos);
  EXPECT_FALSE(fs::exists(f.Served("QuillMar.ini")));

  EXPECT_EQ(RunCommand(QmpublishBinary() + " publish only-one-folder").status, 2);
}

}  // namespace
}  // namespace qm::publish::test
