#include "bench/update/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string_view>

namespace qm::bench {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

long Field(std::string_view status, std::string_view name) {
  const size_t at = status.find(name);
  if (at == std::string_view::npos) {
    return -1;  // a zombie has no memory figures
  }
  return std::strtol(status.data() + at + name.size(), nullptr, 10);
}

// Memory figures of a running process in KiB; false once its image is gone.
bool ReadMemory(pid_t pid, long* hwm, long* rss, long* anon, long* file) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return false;
  }
  char buffer[4096];
  const ssize_t n = read(fd.get(), buffer, sizeof(buffer) - 1);
  if (n <= 0) {
    return false;
  }
  buffer[n] = '\0';
  const std::string_view status(buffer, static_cast<size_t>(n));
  *hwm = Field(status, "VmHWM:");
  *rss = Field(status, "VmRSS:");
  *anon = Field(status, "RssAnon:");
  *file = Field(status, "RssFile:");
  return *hwm >= 0;
}

}  // namespace

ChildRun RunChild(const std::vector<std::string>& argv,
                  const std::filesystem::path& working_folder,
                  const std::filesystem::path& log,
                  bool watch_memory,
                  double limit_seconds,
                  const std::function<bool()>& kill_when) {
  ChildRun run;
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> copies = argv;
  std::vector<char*> args;
  args.reserve(copies.size() + 1);
  for (std::string& a : copies) {
    args.push_back(a.data());
  }
  args.push_back(nullptr);
  const std::string folder = working_folder.string();
  const std::string log_path = log.string();

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    return run;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int in = open("/dev/null", O_RDONLY);
    int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
        chdir(folder.c_str()) != 0) {
      _exit(126);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  run.started = true;
  UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (pidfd.get() < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    run.started = false;
    return run;
  }
  const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                    std::chrono::duration<double>(limit_seconds));
  long highest_rss = -1;
  // Waits on the pidfd, so the end is seen at once; while memory is watched
  // the wait is cut into 5 ms slices with a look at VmHWM after each, while
  // kill_when is asked into 1 ms slices.
  while (true) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      kill(pid, SIGKILL);
      run.timed_out = true;
      break;
    }
    int wait_ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
    if (watch_memory) {
      wait_ms = std::min(wait_ms, 5);
    }
    if (kill_when) {
      wait_ms = std::min(wait_ms, 1);
    }
    pollfd p{pidfd.get(), POLLIN, 0};
    const int ready = poll(&p, 1, wait_ms);
    if (ready > 0) {
      break;
    }
    if (kill_when && kill_when()) {
      kill(pid, SIGKILL);
      run.killed = true;
      break;
    }
    long hwm = 0, rss = 0, anon = 0, file = 0;
    if (watch_memory && ReadMemory(pid, &hwm, &rss, &anon, &file)) {
      run.peak_kib = std::max(run.peak_kib, hwm);
      if (rss > highest_rss) {
        highest_rss = rss;
        run.rss_anon_kib = anon;
        run.rss_file_kib = file;
      }
    }
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.maxrss_kib = usage.ru_maxrss;
  if (!run.timed_out && !run.killed && WIFEXITED(status)) {
    run.exit_code = WEXITSTATUS(status);
  }
  return run;
}

int Shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Quote(const std::filesystem::path& path) {
  std::string quoted = "'";
  for (char c : path.string()) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string Tail(const std::filesystem::path& file, int lines) {
  std::ifstream in(file);
  std::deque<std::string> last;
  std::string line;
  while (std::getline(in, line)) {
    last.push_back(line);
    if (static_cast<int>(last.size()) > lines) {
      last.pop_front();
    }
  }
  std::string text;
  for (const std::string& l : last) {
    text += "    | " + l + "\n";
  }
  return text;
}

}  // namespace qm::bench
