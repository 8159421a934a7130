// A whole exchange with nginx, the update server the updater really meets.
#include <gtest/gtest.h>

#include <string>

#include "http/socket/wsocket.h"
#include "tests/http/socket/loopback_peer.h"
#include "tests/http/socket/socket_test_util.h"
#include "tests/support/build_dirs.h"

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern char** environ;
#endif

namespace qm::http::testing {
namespace {

#ifndef _WIN32
// nginx on a free loopback port serving a temporary folder.
class NginxServer {
 public:
  NginxServer() {
    root_ = std::filesystem::path(test_support::BinaryDir("/tmp")) /
            ("socket-nginx-" + std::to_string(getpid()));
    std::filesystem::create_directories(root_ / "www");
    std::filesystem::create_directories(root_ / "logs");
    port_ = RefusedPort();
    std::ofstream(root_ / "nginx.conf")
        << "worker_processes 1;\n"
        << "error_log " << (root_ / "logs/error.log").string() << ";\n"
        << "pid " << (root_ / "nginx.pid").string() << ";\n"
        << "events { worker_connections 16; }\n"
        << "http {\n  access_log off;\n"
        << "  client_body_temp_path " << (root_ / "tmp").string() << ";\n"
        << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
        << "    root " << (root_ / "www").string() << ";\n  }\n}\n";
  }
  ~NginxServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  void AddFile(const std::string& name, const std::string& content) {
    std::ofstream(root_ / "www" / name, std::ios::binary) << content;
  }

  // Starts nginx and waits until it accepts connections.
  bool Start() {
    std::string binary = std::filesystem::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx";
    std::string conf = (root_ / "nginx.conf").string();
    std::string prefix = root_.string() + "/";
    const char* argv[] = {binary.c_str(), "-p", prefix.c_str(), "-c",
                          conf.c_str(),   "-g", "daemon off;",  nullptr};
    if (posix_spawnp(&pid_, binary.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ) !=
        0) {
      pid_ = -1;
      return false;
    }
    for (int i = 0; i < 100; ++i) {
      TWSocket probe;
      EventLog log(probe);
      probe.SetAddr("127.0.0.1");
      probe.SetPort(port_);
      probe.Connect();
      if (PumpUntil([&] { return !log.events.empty(); }, 2000) && log.events[0] == "connected:0") {
        return true;
      }
      usleep(50000);
    }
    return false;
  }

  const std::string& port() const { return port_; }

 private:
  std::filesystem::path root_;
  std::string port_;
  pid_t pid_ = -1;
};
#endif

TEST(NginxTest, FetchesADocumentAndEndsWithOneClose) {
#ifdef _WIN32
  GTEST_SKIP() << "nginx runs as a native peer only";
#else
  NginxServer nginx;
  std::string body(300000, '\0');
  for (size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<char>('a' + i % 26);
  }
  nginx.AddFile("QuillMar.ini", body);
  ASSERT_TRUE(nginx.Start());

  TWSocket socket;
  EventLog log(socket);
  log.hook = [&](const std::string& name) {
    if (name == "connected") {
      socket.SendStr("GET /QuillMar.ini HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    }
  };
  socket.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return log.Count("dns") == 1; }));
  socket.SetAddr(socket.DnsResult());
  socket.SetPort(nginx.port());
  socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Count("closed") == 1; }));
  EXPECT_EQ(log.events.back(), "closed:0");
  EXPECT_EQ(log.received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  size_t header_end = log.received.find("\r\n\r\n");
  ASSERT_NE(header_end, std::string::npos);
  EXPECT_TRUE(log.received.substr(header_end + 4) == body);
#endif
}

}  // namespace
}  // namespace qm::http::testing
