// POSIX: a running game client is a process whose executable is named
// _QuillMar_.exe.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "launcher/application.h"
#include "launcher/connect_window.h"
#include "platform/process.h"
#include "tests/launcher/scripted_ui.h"

namespace qm {
namespace {

class FakeClient {
 public:
  explicit FakeClient(const testing::TempFolder& folder) : pid_file_(folder.File("pid")) {
    std::string exe = folder.File("_QuillMar_.exe");
    std::string command =
        "cp /bin/sleep '" + exe + "' && ('" + exe + "' 60 & echo $! > '" + pid_file_ + "')";
    EXPECT_EQ(std::system(command.c_str()), 0);
    for (int i = 0; i < 100 && testing::ReadFileBytes(pid_file_).empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~FakeClient() {
    std::string command = "kill $(cat '" + pid_file_ + "') 2>/dev/null";
    int ignored = std::system(command.c_str());
    (void)ignored;
  }

 private:
  std::string pid_file_;
};

LauncherEnvironment ScriptedEnvironment(const testing::TempFolder& folder,
                                        int* views,
                                        int* starts) {
  LauncherEnvironment environment;
  environment.activate_running_client = platform::ActivateRunningClient;
  environment.create_view = [views] {
    ++*views;
    return std::make_unique<testing::ScriptedView>();
  };
  environment.create_dialogs = [] { return std::make_unique<testing::ScriptedDialogs>(); };
  environment.executable_path = folder.File("QuillMar.exe");
  environment.on_created = [starts](TFM_Connect& form) {
    // No update server here: every start counts as up to date.
    form.download_file = [](TFM_Connect&) { return 0; };
    form.start_program = [starts](const std::string&, const std::string&) {
      ++*starts;
      return true;
    };
  };
  return environment;
}

TEST(RunningClientTest, RefusesToStartBesideIt) {
  testing::TempFolder folder;
  int views = 0;
  int starts = 0;
  LauncherEnvironment environment = ScriptedEnvironment(folder, &views, &starts);
  {
    FakeClient client(folder);
    testing::Watchdog watchdog;
    EXPECT_EQ(RunLauncher(environment), 0);
    EXPECT_EQ(views, 0) << "no window beside a running client";
    EXPECT_EQ(starts, 0);
  }
  // Once it has ended the launcher runs and starts the client.
  for (int i = 0; i < 250 && platform::ActivateRunningClient(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  testing::Watchdog watchdog;
  EXPECT_EQ(RunLauncher(environment), 0);
  EXPECT_EQ(views, 1);
  EXPECT_EQ(starts, 1);
}

}  // namespace
}  // namespace qm
