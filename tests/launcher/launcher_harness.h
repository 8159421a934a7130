// One connect window over the scripted UI in a temporary application folder.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "launcher/connect_window.h"
#include "tests/launcher/scripted_ui.h"
#include "tests/support/build_dirs.h"

namespace qm::testing {

using test_support::BinaryDir;

// A PE image with the launcher's version resource (QuillMar.rc).
inline std::string VersionedExeFixture() {
  return BinaryDir() + "/tests/launcher/pe/QuillMar.exe";
}

class LauncherHarness {
 public:
  explicit LauncherHarness(std::vector<std::string> arguments = {}) {
    // Nothing listens there; the tests of the window's logic replace the run.
    form = std::make_unique<TFM_Connect>(view, dialogs, folder.File("QuillMar.exe"),
                                         std::move(arguments), "http://127.0.0.1:9");
    form->download_file = [](TFM_Connect&) { return 0; };
    form->start_program = [this](const std::string& file, const std::string& parameters) {
      started.emplace_back(file, parameters);
      return true;
    };
  }

  void InstallLauncherExe() { CopyFile(VersionedExeFixture(), folder.File("QuillMar.exe")); }

  // Creates and shows the window and runs the loop until it closes.
  int Run() {
    Watchdog watchdog;
    form->Create();
    form->Show();
    return platform::RunMessageLoop();
  }

  TempFolder folder;
  ScriptedView view;
  ScriptedDialogs dialogs;
  std::unique_ptr<TFM_Connect> form;
  std::vector<std::pair<std::string, std::string>> started;  // file, parameters
};

}  // namespace qm::testing
