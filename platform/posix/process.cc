#include "platform/process.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "platform/posix/command_line.h"
#include "platform/posix/local_time.h"
#include "platform/posix/os_name.h"
#include "platform/posix/os_path.h"
#include "util/ascii.h"

extern char** environ;

namespace qm::platform {
namespace {

constexpr char kClientName[] = "_QuillMar_.exe";

// A Windows command line's arguments: blanks separate them, double quotes
// group blanks into one and are removed.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> result;
  std::string current;
  bool in_argument = false;
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      in_argument = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_argument) {
        result.push_back(current);
      }
      current.clear();
      in_argument = false;
    } else {
      current += c;
      in_argument = true;
    }
  }
  if (in_argument) {
    result.push_back(current);
  }
  return result;
}

std::string BaseName(const std::string& path) {
  // "\" too: a client run under Wine shows its Windows path.
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsClientName(const std::string& path) {
  return EqualsIgnoringAsciiCase(BaseName(path), kClientName);
}

// The process runs the client: its executable has the name; or it is a
// script started by that name (the kernel names the process after the
// script); or a loader such as Wine shows the client's Windows path as its
// first argument. Later arguments are documents of other programs
// ("less _QuillMar_.exe") and never count.
bool IsClientProcess(const std::string& proc_dir) {
  // A client that has ended but is not yet reaped still shows its name.
  std::string stat;
  std::getline(std::ifstream(proc_dir + "/stat"), stat);
  const size_t name_end = stat.rfind(')');
  if (name_end != std::string::npos && name_end + 2 < stat.size() && stat[name_end + 2] == 'Z') {
    return false;
  }
  char target[PATH_MAX];
  ssize_t n = readlink((proc_dir + "/exe").c_str(), target, sizeof(target) - 1);
  if (n > 0 && IsClientName(std::string(target, n))) {
    return true;
  }
  std::string comm;
  std::getline(std::ifstream(proc_dir + "/comm"), comm);
  if (IsClientName(comm)) {
    return true;
  }
  std::ifstream in(proc_dir + "/cmdline", std::ios::binary);
  std::string first;
  std::getline(in, first, '\0');
  return IsClientName(first);
}

}  // namespace

bool StartProgram(const std::string& file, const std::string& parameters) {
  const std::string program = posix::ToOsPath(file);
  std::vector<std::string> arguments = {program};
  for (const std::string& argument : SplitCommandLine(parameters)) {
    arguments.push_back(posix::NameToOs(argument));
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  // Not waited for; a thread of its own reaps it so no zombie stays behind.
  std::thread([pid] {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

bool ActivateRunningClient() {
  DIR* proc = opendir("/proc");
  if (!proc) {
    return false;
  }
  const std::string self = std::to_string(getpid());
  bool found = false;
  while (dirent* entry = readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name == self) {
      continue;
    }
    if (IsClientProcess("/proc/" + name)) {
      found = true;  // a console has no window to bring to the front
      break;
    }
  }
  closedir(proc);
  return found;
}

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> result;
  for (const std::string& argument : posix::RecordedArguments()) {
    result.push_back(posix::NameFromOs(argument));
  }
  return result;
}

uint32_t TickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
  struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

LocalDateTime LocalNow() {
  return posix::EpochToLocal(time(nullptr));
}

}  // namespace qm::platform
