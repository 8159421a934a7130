// Download benchmark of the HTTP client against nginx on loopback:
//  1. throughput of THttpCli into the spilling stream vs "curl -s -o FILE"
//     for a 512 MiB document, best of 3 each (target: ratio >= 0.9);
//  2. CPU time while a server sends nothing for 5 seconds (target < 2% of
//     one core);
//  3. peak memory of a child process downloading 1 GiB through the spilling
//     stream (target < 64 MiB).
// Usage: http_bench [--child URL FOLDER]
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "http/http_cli.h"
#include "http/receive_stream.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int64_t kThroughputBytes = int64_t{512} << 20;
constexpr int64_t kMemoryBytes = int64_t{1024} << 20;

struct Servers {
  FILE* pipe = nullptr;
  fs::path work;
  int nginx_port = 0;
  int script_port = 0;
};

bool StartServers(Servers& s) {
  s.work = fs::temp_directory_path() / ("qm-http-bench-" + std::to_string(std::random_device{}()));
  fs::create_directories(s.work);
  std::string command = std::string("python3 '") + QM_SOURCE_DIR +
                        "/tests/http/http_servers.py' '" + s.work.string() +
                        "' --file half.bin:512 --file giga.bin:1024";
  s.pipe = popen(command.c_str(), "r");
  char line[1024] = {};
  if (s.pipe == nullptr || fgets(line, sizeof line, s.pipe) == nullptr)
    return false;
  std::istringstream in(line);
  std::string pair;
  while (in >> pair) {
    size_t eq = pair.find('=');
    if (pair.starts_with("QM_HTTP_NGINX_PORT="))
      s.nginx_port = std::stoi(pair.substr(eq + 1));
    else if (pair.starts_with("QM_HTTP_SCRIPT_PORT="))
      s.script_port = std::stoi(pair.substr(eq + 1));
  }
  return s.nginx_port != 0 && s.script_port != 0;
}

void StopServers(Servers& s) {
  if (s.pipe == nullptr)
    return;
  std::ofstream(s.work / "stop").put('\n');
  pclose(s.pipe);
  std::error_code ignored;
  fs::remove_all(s.work, ignored);  // the big documents and every copy
}

// Fetches url into a spilling stream in folder; seconds, or -1 on failure.
double FetchWithClient(const std::string& url, const std::string& folder, int64_t expected) {
  qm::http::SpillingStream stream(folder);
  qm::http::THttpCli client;
  client.URL = url;
  client.SetReceiveStream(&stream);
  Clock::time_point start = Clock::now();
  try {
    client.Get();
  } catch (const qm::http::EHttpException& e) {
    std::fprintf(stderr, "client: %d %s\n", e.ErrorCode(), e.what());
    return -1;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (stream.size() != expected) {
    std::fprintf(stderr, "client: %lld bytes instead of %lld\n",
                 static_cast<long long>(stream.size()), static_cast<long long>(expected));
    return -1;
  }
  return seconds;
}

double FetchWithCurl(const std::string& url, const fs::path& file, int64_t expected) {
  std::string command = "curl -s -o '" + file.string() + "' '" + url + "'";
  Clock::time_point start = Clock::now();
  int status = std::system(command.c_str());
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::error_code error;
  bool ok = status == 0 && static_cast<int64_t>(fs::file_size(file, error)) == expected;
  fs::remove(file, error);
  return ok ? seconds : -1;
}

double CpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

int Child(const std::string& url, const std::string& folder) {
  return FetchWithClient(url, folder, kMemoryBytes) < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child")
    return Child(argv[2], argv[3]);

  Servers servers;
  if (!StartServers(servers)) {
    std::fprintf(stderr, "the test servers did not start\n");
    StopServers(servers);
    return 1;
  }
  std::string base = "http://127.0.0.1:" + std::to_string(servers.nginx_port) + "/files/";
  int failures = 0;

  // 1. Throughput, best of 3 each, interleaved so both see the same cache.
  double best_client = 1e9, best_curl = 1e9;
  for (int round = 0; round < 3; ++round) {
    double c = FetchWithClient(base + "half.bin", servers.work.string(), kThroughputBytes);
    double k = FetchWithCurl(base + "half.bin", servers.work / "curl.bin", kThroughputBytes);
    if (c < 0 || k < 0) {
      std::fprintf(stderr, "throughput round %d failed\n", round + 1);
      ++failures;
      break;
    }
    best_client = std::min(best_client, c);
    best_curl = std::min(best_curl, k);
  }
  double mib = static_cast<double>(kThroughputBytes) / (1 << 20);
  double ratio = best_curl / best_client;
  std::printf(
      "throughput 512 MiB: THttpCli %.0f MiB/s (%.3f s), curl %.0f MiB/s (%.3f s), "
      "ratio %.2f (target >= 0.90)\n",
      mib / best_client, best_client, mib / best_curl, best_curl, ratio);
  failures += ratio < 0.9;

  // 2. CPU time while the server sends nothing for 5 seconds.
  {
    std::ofstream script(servers.work / "script.json");
    script << R"({"id": "idle", "connections": [[{"read": 1}, {"pause": 5000},)"
           << R"( {"send": "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"}]]})";
  }
  qm::http::THttpCli client;
  client.URL = "http://127.0.0.1:" + std::to_string(servers.script_port) + "/idle";
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  Clock::time_point start = Clock::now();
  try {
    client.Get();
  } catch (const qm::http::EHttpException& e) {
    std::fprintf(stderr, "idle request: %s\n", e.what());
    ++failures;
  }
  getrusage(RUSAGE_SELF, &after);
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  double cpu = CpuSeconds(after) - CpuSeconds(before);
  double share = 100.0 * cpu / wall;
  std::printf(
      "waiting %.2f s on a silent server: CPU %.3f s = %.2f%% of one core "
      "(target < 2%%)\n",
      wall, cpu, share);
  failures += share >= 2.0;

  // 3. Peak memory of a child downloading 1 GiB through the spilling stream.
  pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", argv[0], "--child", (base + "giga.bin").c_str(),
          servers.work.string().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  double peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  bool child_ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf(
      "1 GiB through the spilling stream: %s, child peak RSS %.1f MiB "
      "(target < 64 MiB)\n",
      child_ok ? "complete" : "FAILED", peak_mib);
  failures += !child_ok || peak_mib >= 64.0;

  StopServers(servers);
  std::printf(failures ? "some targets missed\n" : "all targets met\n");
  return failures ? 1 : 0;
}
