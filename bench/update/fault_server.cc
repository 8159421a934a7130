#include "bench/update/fault_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <thread>

#include "bench/update/loopback_port.h"

namespace qm::bench {
namespace {

// The server waits up to 15 s for the connections in hand when it stops.
constexpr auto kStopLimit = std::chrono::seconds(20);

bool Exited(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

// The number after "key": in one JSON line of the log; -1 when it is null,
// false when the key is missing.
bool NumberOf(std::string_view line, std::string_view key, long long* value) {
  const std::string quoted = "\"" + std::string(key) + "\": ";
  const size_t at = line.find(quoted);
  if (at == std::string_view::npos) {
    return false;
  }
  const std::string_view rest = line.substr(at + quoted.size());
  if (rest.starts_with("null")) {
    *value = -1;
    return true;
  }
  char* end = nullptr;
  const std::string text(rest.substr(0, rest.find_first_of(",}")));
  *value = std::strtoll(text.c_str(), &end, 10);
  return end != text.c_str();
}

}  // namespace

FaultServer::~FaultServer() {
  Stop();
}

bool FaultServer::Start(int port,
                        int upstream_port,
                        uint64_t cut_every,
                        const std::filesystem::path& log,
                        std::string* error) {
  if (PortAnswers(port)) {
    *error = "port " + std::to_string(port) + " is already in use";
    return false;
  }
  const std::string script = QM_BENCH_FAULT_SERVER;
  const std::string listen = std::to_string(port);
  const std::string upstream = std::to_string(upstream_port);
  const std::string cut = std::to_string(cut_every);
  const std::string log_path = log.string();
  const std::string err_path = log_path + ".err";
  pid_ = fork();
  if (pid_ < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int null = open("/dev/null", O_RDONLY);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (null < 0 || err < 0 || dup2(null, 0) < 0 || dup2(err, 1) < 0 || dup2(err, 2) < 0) {
      _exit(126);
    }
    execlp("python3", "python3", script.c_str(), "--listen", listen.c_str(), "--upstream-port",
           upstream.c_str(), "--cut-every", cut.c_str(), "--log", log_path.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 400; ++i) {
    if (PortAnswers(port)) {
      return true;
    }
    if (Exited(pid_)) {
      pid_ = -1;
      *error = "fault_server.py exited; see " + err_path;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  Stop();
  *error = "fault_server.py did not answer on port " + listen;
  return false;
}

void FaultServer::Stop() {
  if (pid_ <= 0) {
    return;
  }
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
  while (!Exited(pid_)) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

bool ReadWireCount(const std::filesystem::path& log, WireCount* count) {
  std::ifstream in(log);
  if (!in) {
    return false;
  }
  *count = WireCount();
  std::string line;
  while (std::getline(in, line)) {
    long long body = 0, head = 0, length = 0;
    if (!NumberOf(line, "body", &body) || !NumberOf(line, "head", &head) ||
        !NumberOf(line, "length", &length) || body < 0 || head < 0) {
      return false;
    }
    ++count->connections;
    count->body_bytes += static_cast<uint64_t>(body);
    count->head_bytes += static_cast<uint64_t>(head);
    if (length >= 0 && body < length) {
      ++count->short_ones;
    }
    if (line.find("\"range\": null") == std::string::npos) {
      ++count->ranged;
    }
  }
  return true;
}

}  // namespace qm::bench
