// The update run against nginx on loopback: which archives it fetches, what
// it records, and how it ends, for a table of installed and server copies.
#include "update/update_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "http/http_cli.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/message_loop.h"
#include "tests/http/http_servers.h"
#include "tests/update/update_fixture.h"
#include "tests/zip/zip_builder.h"
#include "update/component_setup.h"
#include "update/debris.h"
#include "util/texts.h"
#include "zip/unzip.h"

namespace qm::update {
namespace {

namespace fs = std::filesystem;
using test::Archive;
using test::DamagedArchive;
using test::ReadFileBytes;
using test::RecordingHost;
using test::UpdateFixture;
using test::WriteFileBytes;

// The server copy of the worked example: engine 13 and AData1 6 are new.
std::vector<std::string> WorkedExample() {
  return {"[V]",
          "82001500=3.0.0.0::engine",
          "Part=13",
          "Data=7",
          "[S]",
          "BK=bk text",
          "BKP=bkp",
          "[SP]",
          "82001500_Sp=3",
          "[AData]",
          "AData1=6 ; remark",
          "AData2=2",
          "[BData]",
          "BData1=4"};
}

TEST(UpdateRunTest, RowsFetchRecordAndStopAsTheReleaseSays) {
  struct Case {
    const char* name;
    std::vector<std::string> manifest;
    std::map<std::string, std::string> files;  // below QuillMar/; "damaged:" prefix
    int32_t result;
    std::string status;  // "" = unchanged
    std::vector<std::string> requested;
    std::map<std::string, std::string> recorded;  // "section/key" -> value
    std::vector<std::string> installed;           // files in the game folder
  };
  const std::string failed = texts::kDownloadFailedSuffix;
  std::vector<Case> cases = {
      {"worked example",
       WorkedExample(),
       {{"engine/Part.zip", "part"}, {"AData1.zip", "ad1"}},
       0,
       "Downloading AData1 Files...",
       {"QuillMar/QuillMar.ini", "QuillMar/engine/Part.zip", "QuillMar/AData1.zip"},
       {{"V/Part", "13"}, {"AData/AData1", "6"}, {"V/Data", ""}},
       {"part.txt", "ad1.txt"}},
      {"everything current",
       {"[V]", "82001500=3.0.0.0", "Part=12", "Data=7", "[SP]", "82001500_Sp=3", "[AData]",
        "AData1=5", "[BData]", "BData1=4 ;x"},
       {},
       0,
       "",
       {"QuillMar/QuillMar.ini"},
       {{"V/Part", ""}},
       {}},
      {"engine missing stops the run",
       WorkedExample(),
       {{"AData1.zip", "ad1"}},
       -3,
       texts::kEngineDownloadFailed,
       {"QuillMar/QuillMar.ini", "QuillMar/engine/Part.zip"},
       {{"V/Part", ""}, {"AData/AData1", ""}},
       {}},
      {"damaged data archive keeps the earlier record",
       WorkedExample(),
       {{"engine/Part.zip", "part"}, {"AData1.zip", "damaged:ad1"}},
       -3,
       "AData1" + failed,
       {"QuillMar/QuillMar.ini", "QuillMar/engine/Part.zip", "QuillMar/AData1.zip"},
       {{"V/Part", "13"}, {"AData/AData1", ""}},
       {"part.txt"}},
      {"splash failure is passed over; data and B data come from the engine base",
       {"[V]", "82001500=3.0.0.0::eng", "Part=12", "Data=8", "[SP]", "82001500_Sp=4", "[BData]",
        "BData1=5"},
       {{"eng/Data.zip", "data"}, {"eng/BData1.zip", "bd1"}},
       0,
       "Downloading BData1 Files...",
       {"QuillMar/QuillMar.ini", "QuillMar/82001500_Sp.zip", "QuillMar/eng/Data.zip",
        "QuillMar/eng/BData1.zip"},
       {{"V/Data", "8"}, {"BData/BData1", "5"}, {"SP/82001500_Sp", ""}},
       {"data.txt", "bd1.txt"}},
      {"launcher and a missing component from their bases",
       {"[V]", "82001500=3.0.0.1", "Part=12", "Data=7", "[SP]", "82001500_Sp=3", "[C]",
        "1=NoSuch.dll\\1.0"},
       {{"82001500.zip", "launcher"}, {"82001500/NoSuch.zip", "component"}},
       0,
       "Downloading NoSuch",
       {"QuillMar/QuillMar.ini", "QuillMar/82001500.zip", "QuillMar/82001500/NoSuch.zip"},
       {},
       {"launcher.txt", "component.txt"}},
      {"missing component archive",
       {"[V]", "82001500=3.0.0.0", "Part=12", "Data=7", "[SP]", "82001500_Sp=3", "[C]",
        "1=NoSuch.dll\\1.0"},
       {},
       -3,
       texts::kComponentDownloadFailed,
       {"QuillMar/QuillMar.ini", "QuillMar/82001500/NoSuch.zip"},
       {},
       {}},
      {"no manifest", {}, {}, -1, texts::kNotConnected, {"QuillMar/QuillMar.ini"}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    if (!c.manifest.empty()) {
      f.ServeManifest(c.manifest);
    }
    for (const auto& [path, content] : c.files) {
      const std::string stem = fs::path(path).stem().string();
      const bool damaged = content.rfind("damaged:", 0) == 0;
      const std::string text = damaged ? content.substr(8) : content;
      f.Serve("QuillMar/" + path,
              damaged ? DamagedArchive(text, text + " body") : Archive(text, text + " body"));
    }
    EXPECT_EQ(f.Run(), c.result);
    EXPECT_EQ(f.host.status, c.status.empty() ? "On Connecting to Host....." : c.status);
    EXPECT_EQ(f.requested, c.requested);
    for (const auto& [where, value] : c.recorded) {
      const size_t slash = where.find('/');
      EXPECT_EQ(f.Installed(where.substr(0, slash), where.substr(slash + 1)), value) << where;
    }
    for (const std::string& file : c.installed) {
      EXPECT_EQ(ReadFileBytes(f.App(file)), fs::path(file).stem().string() + " body") << file;
    }
    // No archive, manifest or spill file stays behind.
    for (const auto& entry : fs::recursive_directory_iterator(f.App(""))) {
      const std::string name = entry.path().filename().string();
      const bool in_temp = entry.path().parent_path().filename() == "Temp";
      EXPECT_FALSE(name.find(".zip") != std::string::npos ||
                   name.find(".Zip") != std::string::npos || (in_temp && name == "QuillMar.ini") ||
                   name.rfind("qm", 0) == 0 || name.rfind("~qm", 0) == 0)
          << entry.path();
    }
  }
}

TEST(UpdateRunTest, LauncherRowSetsTheMarkerAndComponentsLookedUpByBareName) {
  UpdateFixture f;
  f.ServeManifest({"[V]", "82001500=3.0.0.1", "Part=12", "Data=7", "[S]", "BK=b k", "BKP=p", "[SP]",
                   "82001500_Sp=3"});
  f.Serve("QuillMar/82001500.zip", Archive("launcher", "new"));
  EXPECT_EQ(f.Run(), 0);
  EXPECT_EQ(f.state.UpdateMarker, "82001500");
  EXPECT_EQ(f.state.ServerBK, "b k");
  EXPECT_EQ(f.state.ServerBKP, "p");
}

TEST(UpdateRunTest, MirrorChoiceAndAbsoluteEngineBaseInCapitals) {
  UpdateFixture f;
  const std::string base = f.BaseUrl();
  const std::string host_and_path = base.substr(std::string("http://").size());
  f.ServeManifest({"[P]", "Path0=" + base + "/m0", "Path1=" + base + "/m1 ; second",
                   "Path2=" + base + "/never", "[V]",
                   "82001500=3.0.0.0::HTTP://" + host_and_path + "//ENG", "Part=13", "Data=7",
                   "[SP]", "82001500_Sp=3", "[AData]", "AData1=6"});
  f.Serve("m1/AData1.zip", Archive("ad1", "ad1 body"));
  f.Serve("ENG/Part.zip", Archive("part", "part body"));
  f.mirror_random = 1;
  EXPECT_EQ(f.Run(), 0);
  EXPECT_EQ(f.requested,
            (std::vector<std::string>{"QuillMar/QuillMar.ini", "ENG/Part.zip", "m1/AData1.zip"}));
  EXPECT_EQ(f.Installed("V", "Part"), "13");
  EXPECT_EQ(f.Installed("AData", "AData1"), "6");
}

// An entry without a version, or whose name is a path or a device, ends
// the run with an error naming it; its file is neither read nor fetched.
TEST(UpdateRunTest, ComponentEntryWithoutVersionOrBareNameRaisesNamingTheEntry) {
  const std::vector<std::string> entries = {
      "Foo.dll", "//host/share/x.dll\\1", "C:/Windows/x.dll\\1", "sub/x.dll\\1", "NUL.dll\\1",
      "com3\\1"};
  for (const std::string& entry : entries) {
    SCOPED_TRACE(entry);
    UpdateFixture f;
    f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=12", "Data=7", "[SP]", "82001500_Sp=3", "[C]",
                     "1=" + entry});
    try {
      f.Run();
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("[C] 1=" + entry), std::string::npos) << e.what();
    }
    // Not even asked for: a request would be listed whether or not the
    // server has the file.
    EXPECT_EQ(f.requested, std::vector<std::string>{"QuillMar/QuillMar.ini"});
  }
}

TEST(UpdateRunTest, CancelStopsTheRunAtItsNextCheck) {
  struct Case {
    const char* name;
    const char* cancel_at;  // status text at which Cancel comes in
  } cases[] = {
      {"between rows", "Downloading Engine..."},
      {"while a data archive unpacks", "unpack"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    f.ServeManifest(WorkedExample());
    f.Serve("QuillMar/engine/Part.zip", Archive("part", "part body"));
    f.Serve("QuillMar/AData1.zip", Archive("ad1", "ad1 body"));
    auto cancel = [&f] {
      f.state.CancelRequested = 1;
      f.state.TransferStatus = kTransferCancelled;
      f.http.Abort();
      f.unzip.CancelOperation();
    };
    if (std::string(c.cancel_at) == "unpack") {
      f.unzip.OnProgress = [&](zip::TUnZip*, uint8_t, uint8_t) { cancel(); };
    } else {
      f.host.on_status = [&](const std::string& text) {
        if (text == c.cancel_at) {
          cancel();
        }
      };
    }
    EXPECT_LT(f.Run(), 0);
    EXPECT_EQ(f.Installed("V", "Part"), "");
    EXPECT_EQ(f.Installed("AData", "AData1"), "");
    for (const std::string& url : f.requested) {
      EXPECT_NE(url, "QuillMar/AData1.zip");
    }
    EXPECT_FALSE(fs::exists(f.App("Part.zip")));
  }
}

TEST(UpdateRunTest, ReadOnlyFileOfAnEarlierInstallIsReplaced) {
  UpdateFixture f;
  WriteFileBytes(f.App("part.txt"), "old");
  platform::SetFileAttributes(f.App("part.txt").string(), platform::kAttrReadOnly);
  f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=13", "Data=7", "[SP]", "82001500_Sp=3"});
  f.Serve("QuillMar/82001500/Part.zip", Archive("part", "part body"));
  EXPECT_EQ(f.Run(), 0);
  EXPECT_EQ(ReadFileBytes(f.App("part.txt")), "part body");
  EXPECT_EQ(f.Installed("V", "Part"), "13");
}

// A file that cannot be installed (a folder in its place here; on Windows
// also one that another program holds open) fails its row, which records
// nothing, and is named on the error display. The splash row's failure is
// passed over: its file is not named for a later row's failure.
TEST(UpdateRunTest, FileThatCannotBeInstalledIsNamedWithTheFailedRow) {
  struct Case {
    const char* name;
    const char* blocked;              // a folder in the place of this member
    const char* splash;               // the server's splash version
    bool engine_published;            // Part.zip (part.txt) on the server
    std::vector<std::string> errors;  // texts shown on the error display
  };
  const std::vector<Case> cases = {
      {"engine file blocked", "part.txt", "3", true, {"part.txt: Error opening file"}},
      {"splash file blocked, engine missing", "sp.txt", "4", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    fs::create_directories(f.App(c.blocked));
    f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=13", "Data=7", "[SP]",
                     std::string("82001500_Sp=") + c.splash});
    f.Serve("QuillMar/82001500_Sp.zip", Archive("sp", "splash body"));
    if (c.engine_published) {
      f.Serve("QuillMar/82001500/Part.zip", Archive("part", "part body"));
    }
    std::vector<std::string> errors;
    platform::SetErrorDisplay([&errors](const std::string& text) { errors.push_back(text); });
    const int32_t result = f.Run();
    platform::SetErrorDisplay(nullptr);
    EXPECT_EQ(result, -3);
    EXPECT_EQ(f.host.status, texts::kEngineDownloadFailed);
    EXPECT_EQ(f.Installed("V", "Part"), "");
    EXPECT_TRUE(fs::is_directory(f.App(c.blocked)));
    ASSERT_EQ(errors.size(), c.errors.size());
    for (size_t k = 0; k < errors.size(); ++k) {
      // The full path, as the platform writes it, ending in the member's name.
      const std::string& end = c.errors[k];
      ASSERT_GE(errors[k].size(), end.size() + 1) << errors[k];
      EXPECT_EQ(errors[k].substr(errors[k].size() - end.size() - 1), "\\" + end) << errors[k];
    }
  }
}

// The next start removes what a killed run left and it can name exactly:
// the HTTP client's temporary files in Temp, the download a marker names,
// the extractor's files after a run that died unpacking. Files of the game
// with names like the launcher's stay, wherever they are.
TEST(UpdateRunTest, DebrisOfAKilledRunGoesBeforeTheFetchAndGameFilesStay) {
  struct Case {
    const char* name;
    std::string marked;  // the download a marker names; "" = no marker
    bool unpacking;      // the run died while unpacking
    std::vector<std::string> debris;
    std::vector<std::string> kept;
  };
  const std::vector<std::string> game_files = {
      "QMNews.txt",        "qmrecv_cfg.dat",  "qmnewabcdef",   "Data.zip",
      "Part.zip",          "AData7.zip",      "BData2.zip",    "82001500_Sp.zip",
      "game.zip",          "Temp/notes.txt",  "Temp/game.zip", "Temp/qmrecv_cfg.dat",
      "Temp/qmrecvAB.tmp", "sub/deeper/~keep"};
  const std::vector<Case> cases = {
      {"no marker", "", false, {"Temp/qmrecvAb3dE9", "Temp/qmnew0a1b2c.tmp"}, {}},
      {"download marked",
       "AData7.zip",
       false,
       {"Temp/AData7.zip", "Temp/qmrecvzzzzzz"},
       {"Temp/82001500.zip"}},
      {"manifest marked", "QuillMar.ini", false, {"Temp/QuillMar.ini"}, {"Temp/Part.zip"}},
      {"died unpacking", "Part.zip", true, {"Temp/Part.zip", "sub/deeper/~qmz99"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    std::vector<std::string> kept = game_files;
    kept.insert(kept.end(), c.kept.begin(), c.kept.end());
    for (const std::string& name : kept) {
      WriteFileBytes(f.App(name), "game file");
    }
    for (const std::string& name : c.debris) {
      WriteFileBytes(f.App(name), "x");
    }
    {
      // Temp as a run killed while the markers existed leaves it.
      std::optional<DownloadMarker> download;
      std::optional<UnpackMarker> unpack;
      if (!c.marked.empty()) {
        download.emplace(f.state.AppDir, c.marked);
      }
      if (c.unpacking) {
        unpack.emplace(f.state.AppDir);
      }
      fs::copy(f.App("Temp"), f.App("Temp.killed"), fs::copy_options::recursive);
    }
    fs::remove_all(f.App("Temp"));
    fs::rename(f.App("Temp.killed"), f.App("Temp"));
    f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=12", "Data=7", "[SP]", "82001500_Sp=3"});
    EXPECT_EQ(f.Run(), 0);
    for (const std::string& name : c.debris) {
      EXPECT_FALSE(fs::exists(f.App(name))) << name;
    }
    for (const std::string& name : kept) {
      EXPECT_EQ(ReadFileBytes(f.App(name)), "game file") << name;
    }
    // Nothing of ours is left in Temp, the markers included.
    for (const auto& entry : fs::directory_iterator(f.App("Temp"))) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(std::find(kept.begin(), kept.end(), "Temp/" + name) != kept.end()) << name;
    }
  }
}

// Archives are saved in Temp: a file of the game with the archive's name
// stays, and an archive may even carry a file of its own name.
TEST(UpdateRunTest, ArchivesAreSavedInTempNotOverTheGamesFiles) {
  UpdateFixture f;
  WriteFileBytes(f.App("Data.zip"), "the game's own Data.zip");
  WriteFileBytes(f.App("AData1.zip"), "the game's own AData1.zip");
  f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=13", "Data=8", "[SP]", "82001500_Sp=3",
                   "[AData]", "AData1=5"});
  f.Serve("QuillMar/82001500/Part.zip",
          zip::testing::BuildZip({{"Part.zip", "a member named as its archive"}}));
  f.Serve("QuillMar/82001500/Data.zip", Archive("data", "data body"));
  EXPECT_EQ(f.Run(), 0);
  EXPECT_EQ(ReadFileBytes(f.App("Part.zip")), "a member named as its archive");
  EXPECT_EQ(ReadFileBytes(f.App("Data.zip")), "the game's own Data.zip");
  EXPECT_EQ(ReadFileBytes(f.App("AData1.zip")), "the game's own AData1.zip");
  EXPECT_EQ(ReadFileBytes(f.App("data.txt")), "data body");
  EXPECT_EQ(f.Installed("V", "Part"), "13");
  EXPECT_EQ(f.Installed("V", "Data"), "8");
  EXPECT_TRUE(fs::is_empty(f.App("Temp")));
}

// The server's settings file is capped at 1 MiB: a larger or endless answer
// ends the run as not connected, early, without filling the disk.
TEST(UpdateRunTest, SettingsFileLargerThanTheCapIsNotConnected) {
  const std::string head =
      "[V]\r\n82001500=3.0.0.0\r\nPart=12\r\nData=7\r\n[SP]\r\n82001500_Sp=3\r\n";
  const size_t cap = size_t{1} << 20;
  struct Case {
    const char* name;
    std::string manifest;  // served by nginx; empty: the scripted server's endless body
    int32_t result;
  };
  const std::vector<Case> cases = {
      {"at the cap", head + ";" + std::string(cap - head.size() - 3, 'x') + "\r\n", 0},
      {"one byte past it", head + ";" + std::string(cap - head.size() - 2, 'x') + "\r\n", -1},
      {"endless, without a length", "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    std::string base = f.BaseUrl();
    if (c.manifest.empty()) {
      http::test::SetScript(
          {{http::test::Read(), http::test::Send("HTTP/1.0 200 OK\r\n\r\n" + head + ";"),
            http::test::Repeat(std::string(1024, 'x'), 256 * 1024)}});
      base = f.servers().ScriptUrl("");
    } else {
      f.Serve("QuillMar/QuillMar.ini", c.manifest);
    }
    UpdateRun run(f.state, f.host, f.http, f.unzip, base);
    EXPECT_EQ(run.DownLoadFile(), c.result);
    EXPECT_EQ(f.host.status, c.result == 0 ? "On Connecting to Host....." : texts::kNotConnected);
    EXPECT_TRUE(fs::is_empty(f.App("Temp")));
  }
}

// An archive download stops while the disk still has the reserve free, and
// the error display says why; the row fails and records nothing.
TEST(UpdateRunTest, ArchiveDownloadStopsWhenFreeSpaceRunsLow) {
  struct Case {
    const char* name;
    size_t size;  // of the archive's one stored member
  } cases[] = {
      {"held in memory", 1000},
      {"spilled to the disk", size_t{20} << 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=13", "Data=7", "[SP]", "82001500_Sp=3"});
    f.Serve("QuillMar/82001500/Part.zip",
            zip::testing::BuildZip({{"part.bin", std::string(c.size, 'p')}}));
    std::vector<std::string> errors;
    platform::SetErrorDisplay([&errors](const std::string& text) { errors.push_back(text); });
    UpdateRun run(f.state, f.host, f.http, f.unzip, f.BaseUrl());
    // More than the disk has: the space is always low.
    uint64_t free = 0;
    ASSERT_TRUE(platform::FreeDiskSpace(f.state.AppDir, &free));
    run.archive_limits.free_space_reserve = static_cast<int64_t>(free) + (int64_t{1} << 40);
    const int32_t result = run.DownLoadFile();
    platform::SetErrorDisplay(nullptr);
    EXPECT_EQ(result, -3);
    EXPECT_EQ(f.host.status, texts::kEngineDownloadFailed);
    EXPECT_EQ(f.Installed("V", "Part"), "");
    EXPECT_FALSE(fs::exists(f.App("part.bin")));
    EXPECT_TRUE(fs::is_empty(f.App("Temp")));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Part.zip: Not enough free disk space"), std::string::npos)
        << errors[0];
  }
}

TEST(UpdateRunTest, FailedFetchLeavesTheOlderFileAndAnUnwritableTargetFails) {
  UpdateFixture f;
  WriteFileBytes(f.App("Temp/target.bin"), "older");
  f.state.TransferStatus = 0;
  UpdateRun run(f.state, f.host, f.http, f.unzip, f.BaseUrl());
  EXPECT_FALSE(run.GetSyncFile(f.BaseUrl() + "/missing.bin", f.App("Temp/target.bin").string()));
  EXPECT_EQ(ReadFileBytes(f.App("Temp/target.bin")), "older");
  EXPECT_EQ(f.state.TransferStatus, kTransferFailed);

  f.Serve("doc.bin", "document");
  // A folder stands where the file should go.
  fs::create_directories(f.App("blocked.bin"));
  EXPECT_FALSE(run.GetSyncFile(f.BaseUrl() + "/doc.bin", f.App("blocked.bin").string()));
  EXPECT_TRUE(run.GetSyncFile(f.BaseUrl() + "/doc.bin", f.App("Temp/target.bin").string()));
  EXPECT_EQ(ReadFileBytes(f.App("Temp/target.bin")), "document");
}

}  // namespace
}  // namespace qm::update
