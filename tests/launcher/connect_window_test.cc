#include "launcher/connect_window.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "launcher/gif/gif_encoder.h"
#include "platform/ini_file.h"
#include "tests/launcher/launcher_harness.h"
#include "util/texts.h"

namespace qm {
namespace {

using testing::LauncherHarness;
using testing::ReadFileBytes;
using testing::ScriptedDialogs;
using testing::WriteFileBytes;

constexpr char kProductVersion[] = "82001-000-500-000001";

std::string SmallGif(uint32_t colour) {
  gif::IndexedImage image;
  image.width = 3;
  image.height = 2;
  image.palette = {colour};
  image.indices.assign(6, 0);
  return gif::EncodeGif(image);
}

const char kInstalledIni[] =
    "[Proxy]\r\n"
    "ProxyServer =  proxy.example \r\n"
    "ProxyPort=\"3128\"\r\n"
    "proxyusername=  user \r\n"
    "ProxyPassWord=pa ss\r\n"
    "[V]\r\n"
    "Part= 12 \r\n"
    "Data=7\r\n"
    "[SP]\r\n"
    "82001500_Sp=3\r\n"
    "[AData]\r\n"
    "AData1=5\r\n"
    "AData2=2\r\n"
    "[BData]\r\n"
    "BData1=4\r\n";

// What start-up reads, for the combinations of settings file and picture.
TEST(ConnectWindowStartupTest, ReadsInstalledState) {
  struct Case {
    const char* what;
    bool ini;
    std::optional<std::string> splash_file;
    const char* splash_version;
    size_t boxes;
    uint32_t first_pixel;  // of the picture the window was created with
  };
  const uint32_t kBuiltInCorner = [] {
    LauncherHarness probe;
    probe.form->Create();
    return probe.view.picture.pixels.at(0);
  }();
  const Case cases[] = {
      {"no settings file, no picture", false, std::nullopt, "-1", 0, kBuiltInCorner},
      {"settings, no picture: SP is not read", true, std::nullopt, "-1", 0, kBuiltInCorner},
      {"settings and picture", true, SmallGif(0x123456), "3", 0, 0xFF123456},
      {"picture without SP line", false, SmallGif(0x654321), "", 0, 0xFF654321},
      // An undecodable picture: a box, the built-in picture, and an empty
      // version so that the update fetches it again.
      {"broken picture", true, std::string("GIF89a\x05\0garbage", 15), "", 1, kBuiltInCorner},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LauncherHarness h;
    h.InstallLauncherExe();
    if (c.ini) {
      ASSERT_TRUE(WriteFileBytes(h.folder.File("QuillMar.ini"), kInstalledIni));
    }
    if (c.splash_file) {
      ASSERT_TRUE(WriteFileBytes(h.folder.File("Sp.Gif"), *c.splash_file));
    }
    LauncherState* seen = nullptr;
    std::vector<std::string> local_adata;
    h.form->download_file = [&](TFM_Connect& form) {
      seen = &form.state();
      local_adata = *form.state().LocalAData;
      EXPECT_TRUE(form.state().LocalBData);
      return 0;
    };
    h.Run();
    ASSERT_NE(seen, nullptr);
    const LauncherState& s = h.form->state();
    EXPECT_EQ(s.FileVersionText, "3.0.0.0");
    EXPECT_EQ(s.ProductVersionText, kProductVersion);
    EXPECT_EQ(
        s.VersionField1 + "|" + s.VersionField2 + "|" + s.VersionField3 + "|" + s.VersionField4,
        "82001|000|500|000001");
    EXPECT_EQ(s.VersionKey(), "82001500");
    EXPECT_EQ(s.SplashVersion, c.splash_version);
    EXPECT_EQ(s.UpdateMarker, "?");
    EXPECT_EQ(h.dialogs.messages.size(), c.boxes);
    if (c.boxes) {
      EXPECT_EQ(h.dialogs.messages[0].caption, "Quillmar");
      EXPECT_NE(h.dialogs.messages[0].text, "");
    }
    ASSERT_FALSE(h.view.picture.pixels.empty());
    EXPECT_EQ(h.view.picture.pixels[0], c.first_pixel);
    if (c.ini) {
      EXPECT_EQ(s.ProxyServer, "proxy.example");
      EXPECT_EQ(s.ProxyPort, "3128");
      EXPECT_EQ(s.ProxyUserName, "user");
      EXPECT_EQ(s.ProxyPassWord, "pa ss");
      EXPECT_EQ(s.LocalPartVersion, "12");
      EXPECT_EQ(s.LocalDataVersion, "7");
      EXPECT_EQ(local_adata, (StringList{"AData1=5", "AData2=2"}));
    } else {
      EXPECT_EQ(s.ProxyServer + s.ProxyPort + s.ProxyUserName + s.ProxyPassWord, "");
      EXPECT_EQ(s.LocalPartVersion + s.LocalDataVersion, "");
      EXPECT_TRUE(local_adata.empty());
    }
  }
}

TEST(ConnectWindowStartupTest, BuiltInPictureIsTheSplash) {
  LauncherHarness h;
  h.form->Create();
  EXPECT_EQ(h.view.creates, 1);
  EXPECT_EQ(h.view.title, "Quillmar");
  EXPECT_EQ(h.view.picture.width, 380);
  EXPECT_EQ(h.view.picture.height, 220);
  for (uint32_t pixel : h.view.picture.pixels) {
    ASSERT_EQ(pixel >> 24, 0xFFu) << "the splash has no transparent pixels";
  }
  EXPECT_EQ(h.view.statuses, std::vector<std::string>{texts::kDesignCaption});
}

// Missing or short product versions leave the missing fields empty.
TEST(ConnectWindowStartupTest, MissingVersionFields) {
  LauncherHarness h;  // no QuillMar.exe in the folder
  h.form->Create();
  const LauncherState& s = h.form->state();
  EXPECT_EQ(s.FileVersionText, "?");
  EXPECT_EQ(s.ProductVersionText, "?");
  EXPECT_EQ(s.VersionField1, "?");
  EXPECT_EQ(s.VersionField2 + s.VersionField3 + s.VersionField4, "");

  LauncherHarness short_version;
  testing::CopyFile(testing::BinaryDir() + "/tests/launcher/pe/ShortVersion.exe",
                    short_version.folder.File("QuillMar.exe"));
  short_version.form->Create();
  const LauncherState& t = short_version.form->state();
  EXPECT_EQ(t.ProductVersionText, "82001-000");
  EXPECT_EQ(t.VersionField1 + "|" + t.VersionField2 + "|" + t.VersionField3 + "|" + t.VersionField4,
            "82001|000||");
  EXPECT_EQ(t.VersionKey(), "82001");
}

TEST(ConnectWindowRunTest, StartsOnlyOnceShownAndLaunchesTheClient) {
  LauncherHarness h({"-token"});
  h.InstallLauncherExe();
  int runs = 0;
  int shows_seen_by_run = -1;
  h.form->download_file = [&](TFM_Connect& form) {
    ++runs;
    shows_seen_by_run = h.view.shows;
    form.state().UpdateMarker = "82001500";
    form.state().ServerBK = "bk";
    form.state().ServerBKP = "bkp";
    form.Http1DocBegin(10);
    form.Http1DocData(4);
    return 0;
  };
  h.form->Create();
  platform::ProcessMessages();
  EXPECT_EQ(runs, 0) << "nothing may start before the window is shown";
  {
    testing::Watchdog watchdog;
    h.form->Show();
    EXPECT_EQ(runs, 0) << "the run starts from the loop, not inside Show";
    platform::RunMessageLoop();
  }
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(shows_seen_by_run, 1);
  ASSERT_EQ(h.started.size(), 1u);
  EXPECT_EQ(h.started[0].first, h.form->state().AppDir + "\\_QuillMar_.exe");
  EXPECT_EQ(h.started[0].second, "82001500 bk bkp 82001-000-500-000001 -token");
  EXPECT_EQ(h.view.statuses, (std::vector<std::string>{texts::kDesignCaption, texts::kConnecting,
                                                       texts::kConnected}));
  ASSERT_FALSE(h.view.paints.empty());
  EXPECT_EQ(h.view.paints.back(), std::make_pair(10, 10)) << "full bar before the start";
  EXPECT_TRUE(h.dialogs.messages.empty());
  EXPECT_EQ(h.view.destroys, 1);
  EXPECT_TRUE(h.form->closed());
  EXPECT_EQ(h.form->state().LocalAData, nullptr) << "FormClose releases the lists";
  EXPECT_EQ(h.form->state().LocalBData, nullptr);
}

TEST(ConnectWindowRunTest, ClientCommandLine) {
  struct Case {
    const char* marker;
    const char* bk;
    const char* bkp;
    std::vector<std::string> arguments;
    const char* expected;
  };
  const Case cases[] = {
      {"?", "", "", {}, "?   82001-000-500-000001 "},
      {"?", "BK text", "BKP", {"first"}, "? BK text BKP 82001-000-500-000001 first"},
      // A quoted argument arrives unquoted and stays one token's worth of
      // text; later arguments are not passed on.
      {"82001500", "", "x", {"two words", "second"}, "82001500  x 82001-000-500-000001 two words"},
      {"?", "a", "b", {""}, "? a b 82001-000-500-000001 "},
  };
  for (const Case& c : cases) {
    LauncherHarness h(c.arguments);
    h.InstallLauncherExe();
    h.form->download_file = [&](TFM_Connect& form) {
      form.state().UpdateMarker = c.marker;
      form.state().ServerBK = c.bk;
      form.state().ServerBKP = c.bkp;
      return 0;
    };
    h.Run();
    ASSERT_EQ(h.started.size(), 1u);
    EXPECT_EQ(h.started[0].second, c.expected);
  }
}

// The boxes after a failed run, and what the user's answers lead to.
TEST(ConnectWindowRunTest, FailureBoxes) {
  struct Case {
    const char* what;
    int32_t rc;
    const char* message;
    std::deque<bool> ok_cancel;
    std::deque<std::optional<platform::ProxyFields>> proxy;
    std::vector<ScriptedDialogs::Box> boxes;
    size_t questions;
    size_t proxy_dialogs;
  };
  const ScriptedDialogs::Box not_connected{"Quillmar", texts::kNotConnected};
  const ScriptedDialogs::Box engine{"Quillmar", texts::kEngineDownloadFailed};
  const ScriptedDialogs::Box again{"Quillmar", texts::kConnectAgain};
  const Case cases[] = {
      {"-1, Cancel in the prompt", -1, texts::kNotConnected, {false}, {}, {not_connected}, 1, 0},
      {"-1, OK, dialog cancelled",
       -1,
       texts::kNotConnected,
       {true},
       {std::nullopt},
       {not_connected},
       1,
       1},
      {"-1, OK, dialog confirmed",
       -1,
       texts::kNotConnected,
       {true},
       {platform::ProxyFields{"h", "1", "", ""}},
       {not_connected, again},
       1,
       1},
      {"-3", -3, texts::kEngineDownloadFailed, {}, {}, {engine}, 0, 0},
      {"-2 is any other failure", -2, texts::kEngineDownloadFailed, {}, {}, {engine}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LauncherHarness h;
    h.InstallLauncherExe();
    h.dialogs.ok_cancel_answers = c.ok_cancel;
    h.dialogs.proxy_answers = c.proxy;
    h.form->download_file = [&](TFM_Connect& form) {
      form.SetMsg(c.message);
      return c.rc;
    };
    h.Run();
    EXPECT_EQ(h.dialogs.messages, c.boxes);
    ASSERT_EQ(h.dialogs.questions.size(), c.questions);
    if (c.questions) {
      EXPECT_EQ(h.dialogs.questions[0],
                (ScriptedDialogs::Box{texts::kNoticeCaption, texts::kProxyPrompt}));
    }
    EXPECT_EQ(h.dialogs.proxy_dialogs.size(), c.proxy_dialogs);
    EXPECT_TRUE(h.started.empty());
    EXPECT_EQ(h.view.destroys, 1);
  }
}

// Cancel while the run is on the stack: the close waits for the run to
// unwind, the lists stay usable meanwhile, the window closes once, and the
// game does not start even when the run reports success.
TEST(ConnectWindowCancelTest, DuringTheRun) {
  for (int32_t rc : {0, -1, -3}) {
    SCOPED_TRACE(rc);
    LauncherHarness h;
    h.InstallLauncherExe();
    int aborts = 0;
    h.form->abort_transfer = [&] { ++aborts; };
    h.form->download_file = [&](TFM_Connect& form) {
      h.view.ClickCancel();
      platform::ProcessMessages();  // delivers the close request
      EXPECT_FALSE(form.closed());
      EXPECT_EQ(h.view.destroys, 0);
      EXPECT_NE(form.state().LocalAData, nullptr);
      form.state().LocalAData->push_back("AData1=6");
      h.view.ClickCancel();  // a second close request
      platform::ProcessMessages();
      form.SetMsg(texts::kNotConnected);
      return rc;
    };
    h.Run();
    EXPECT_EQ(h.form->state().CancelRequested, 1);
    EXPECT_EQ(h.form->state().TransferStatus, kTransferCancelled);
    EXPECT_EQ(aborts, 2);
    EXPECT_TRUE(h.dialogs.messages.empty()) << "a cancelled run ends in silence";
    EXPECT_TRUE(h.dialogs.questions.empty());
    EXPECT_TRUE(h.started.empty());
    EXPECT_EQ(h.view.destroys, 1);
    EXPECT_EQ(h.form->state().LocalAData, nullptr);
  }
}

TEST(ConnectWindowCancelTest, BeforeTheRunStarts) {
  LauncherHarness h;
  h.InstallLauncherExe();
  int runs = 0;
  h.form->download_file = [&](TFM_Connect&) { return ++runs, 0; };
  testing::Watchdog watchdog;
  h.form->Create();
  h.view.ClickCancel();  // idle: the close request is queued before the start
  h.form->Show();
  platform::RunMessageLoop();
  EXPECT_EQ(runs, 0);
  EXPECT_TRUE(h.started.empty());
  EXPECT_EQ(h.view.destroys, 1);
  h.view.ClickCancel();  // after closing: ignored
  platform::ProcessMessages();
  EXPECT_EQ(h.view.destroys, 1);
}

TEST(ConnectWindowCancelTest, WhileConnectedIsShown) {
  LauncherHarness h;
  h.InstallLauncherExe();
  platform::MessageWindow clicker([&](const platform::Message&) { h.view.ClickCancel(); });
  h.form->download_file = [&](TFM_Connect&) {
    clicker.Post(platform::kUserMessage + 1);  // delivered while "Connected" shows
    return 0;
  };
  h.Run();
  EXPECT_TRUE(h.started.empty());
  EXPECT_EQ(h.view.destroys, 1);
}

// The proxy dialog from the link: filled from the state, and on OK the
// trimmed values are stored and written, the notice shown and the run
// cancelled.
TEST(ConnectWindowProxyTest, ConfirmDuringTheRun) {
  LauncherHarness h;
  h.InstallLauncherExe();
  ASSERT_TRUE(WriteFileBytes(h.folder.File("QuillMar.ini"),
                             "[Proxy]\r\nProxyServer=old\r\nProxyPort=80\r\n[V]\r\nPart=1\r\n"));
  h.dialogs.proxy_answers = {platform::ProxyFields{"  new.host ", " 8080", "   ", "\tpw "}};
  h.form->download_file = [&](TFM_Connect& form) {
    h.view.ClickProxy();
    EXPECT_EQ(form.state().CancelRequested, 1);
    EXPECT_FALSE(form.closed());
    return -3;
  };
  h.Run();
  ASSERT_EQ(h.dialogs.proxy_dialogs.size(), 1u);
  const platform::ProxyFields& shown = h.dialogs.proxy_dialogs[0];
  EXPECT_EQ(shown.server + "|" + shown.port + "|" + shown.user_name + "|" + shown.password,
            "old|80||");
  // The dialog draws the launcher's one table of texts.
  const platform::ProxyDialogTexts& drawn = h.dialogs.proxy_dialog_texts[0];
  EXPECT_EQ(drawn.title, texts::kProxyDialogTitle);
  EXPECT_EQ(drawn.password_label, texts::kProxyPasswordLabel);
  EXPECT_EQ(drawn.help, (std::vector<std::string>{texts::kProxyHelp1, texts::kProxyHelp2,
                                                  texts::kProxyHelp3, texts::kProxyHelp4}));
  EXPECT_EQ(drawn.ok + "|" + drawn.cancel, "OK|Cancel");
  const LauncherState& s = h.form->state();
  EXPECT_EQ(s.ProxyServer + "|" + s.ProxyPort + "|" + s.ProxyUserName + "|" + s.ProxyPassWord,
            "new.host|8080||pw");
  platform::IniFile ini(h.folder.File("QuillMar.ini"));
  StringList proxy;
  ini.ReadSectionValues("Proxy", proxy);
  EXPECT_EQ(proxy, (StringList{"ProxyServer=new.host", "ProxyPort=8080",
                               "ProxyUserName=", "ProxyPassWord=pw"}));
  EXPECT_EQ(ini.ReadString("V", "Part", ""), "1") << "other sections untouched";
  EXPECT_EQ(h.dialogs.messages,
            (std::vector<ScriptedDialogs::Box>{{"Quillmar", texts::kConnectAgain}}));
  EXPECT_TRUE(h.started.empty());
  EXPECT_EQ(h.view.destroys, 1);
}

TEST(ConnectWindowProxyTest, CancelChangesNothing) {
  LauncherHarness h;
  h.InstallLauncherExe();
  const std::string ini = "[Proxy]\r\nProxyServer=old\r\n";
  ASSERT_TRUE(WriteFileBytes(h.folder.File("QuillMar.ini"), ini));
  h.dialogs.proxy_answers = {std::nullopt};
  h.form->download_file = [&](TFM_Connect& form) {
    h.view.ClickProxy();
    EXPECT_EQ(form.state().CancelRequested, 0);
    return 0;
  };
  h.Run();
  EXPECT_EQ(h.form->state().ProxyServer, "old");
  EXPECT_EQ(ReadFileBytes(h.folder.File("QuillMar.ini")), ini);
  EXPECT_EQ(h.started.size(), 1u) << "the run goes on and the game starts";
}

// A refused write goes to the error display; the notice and the cancel do
// not follow, and the window stays open until the user cancels.
TEST(ConnectWindowProxyTest, UnwritableSettingsFile) {
  LauncherHarness h;
  h.InstallLauncherExe();
  testing::CreateFolder(h.folder.File("QuillMar.ini"));  // a folder cannot be written as a file
  h.dialogs.ok_cancel_answers = {true};
  h.dialogs.proxy_answers = {platform::ProxyFields{"p", "1", "u", "w"}};
  std::vector<std::string> errors;
  platform::SetErrorDisplay([&](const std::string& text) {
    errors.push_back(text);
    EXPECT_FALSE(h.form->closed());
    h.view.ClickCancel();
  });
  h.form->download_file = [&](TFM_Connect& form) {
    form.SetMsg(texts::kNotConnected);
    return -1;
  };
  h.Run();
  platform::SetErrorDisplay(nullptr);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("Unable to write to"), std::string::npos) << errors[0];
  EXPECT_EQ(h.form->state().ProxyServer, "p");
  EXPECT_EQ(h.dialogs.messages,
            (std::vector<ScriptedDialogs::Box>{{"Quillmar", texts::kNotConnected}}));
  EXPECT_EQ(h.view.destroys, 1);
  EXPECT_TRUE(h.started.empty());
}

TEST(ConnectWindowProgressTest, DocumentEvents) {
  LauncherHarness h;
  h.form->Create();
  TFM_Connect& f = *h.form;
  f.Http1DocBegin(1000);
  EXPECT_EQ(f.C_ProgBar().Max(), 1000);
  for (int i = 0; i < 100; ++i) {
    f.Http1DocData(5);  // 0.5 % each: a paint every other call
  }
  EXPECT_EQ(f.C_ProgBar().Position(), 500);
  EXPECT_EQ(h.view.paints.size(), 50u);
  f.Http1DocData(900);  // more than announced: the bar stays full
  EXPECT_EQ(f.C_ProgBar().Position(), 1000);
  f.Http1DocData(10);
  EXPECT_EQ(f.C_ProgBar().Position(), 1000);
  f.Http1DocEnd();
  EXPECT_EQ(h.view.paints.back(), std::make_pair(1000, 1000));
  // An unknown length: the maximum stays at 0 and the bar empty.
  f.Http1DocBegin(-1);
  EXPECT_EQ(f.C_ProgBar().Max(), 0);
  EXPECT_EQ(h.view.paints.back().first, 0);
  f.Http1DocData(4096);
  f.Http1DocEnd();
  EXPECT_EQ(f.C_ProgBar().Position(), 0);
  EXPECT_EQ(f.C_ProgBar().Percent(), 0);
}

}  // namespace
}  // namespace qm
