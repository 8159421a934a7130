#include "bench/update/game_folder.h"

#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/process.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kMark[] = "client-started";

}  // namespace

bool PrepareGameFolder(const fs::path& folder, const fs::path& launcher) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  fs::copy_file(launcher, folder / kLauncherName, fs::copy_options::overwrite_existing, ec);
  if (ec) {
    return false;
  }
  {
    std::ofstream client(folder / kClientName, std::ios::trunc);
    client << "#!/bin/sh\n# Stand-in for the game client.\n: > \"${0%/*}/" << kMark << "\"\n";
    if (!client.flush()) {
      return false;
    }
  }
  const auto executable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(folder / kLauncherName, executable, ec);
  fs::permissions(folder / kClientName, executable, ec);
  return !ec;
}

bool ClientWasStarted(const fs::path& folder) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!fs::exists(folder / kMark)) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  fs::remove(folder / kMark);
  return true;
}

bool NoClientRunning() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (true) {
    // Stand-ins that outlived their updater came to this process (see
    // AdoptOrphans); no other child is waited for at this point.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    // The updater's own lookup: what it would take for a running game.
    if (!platform::ActivateRunningClient()) {
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void AdoptOrphans() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

}  // namespace qm::bench
