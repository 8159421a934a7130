#include "bench/update/game_folder.h"

#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr char kMark[] = "client-started";

bool IsClientName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return strcasecmp(name.c_str(), kClientName) == 0;
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// As the updater looks, and a little wider: the executable, the process
// name (which a zombie keeps), or the first two words of the command line.
bool AnyClientProcess() {
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::error_code link_error;
    std::string comm = ReadAll(entry.path() / "comm");
    if (!comm.empty() && comm.back() == '\n') {
      comm.pop_back();
    }
    if (IsClientName(fs::read_symlink(entry.path() / "exe", link_error).string()) ||
        IsClientName(comm)) {
      return true;
    }
    const std::string cmdline = ReadAll(entry.path() / "cmdline");
    const size_t first_end = cmdline.find('\0');
    if (IsClientName(cmdline.substr(0, first_end))) {
      return true;
    }
    if (first_end != std::string::npos) {
      const size_t second_end = cmdline.find('\0', first_end + 1);
      if (IsClientName(cmdline.substr(first_end + 1, second_end - first_end - 1))) {
        return true;
      }
    }
  }
  return false;
}

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
    if (!AnyClientProcess()) {
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
