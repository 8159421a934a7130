// Runs the qmfetch tool against the test servers (native builds only: under
// Wine the test cannot start a native child the same way).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/http/http_servers.h"
#include "tests/support/build_dirs.h"
#include "tests/support/files.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace qm::http {
namespace {

using test::HttpServers;

struct ToolRun {
  int status = -1;
  std::string out, err;
};

ToolRun RunQmfetch(const std::string& arguments) {
  ToolRun run;
#ifdef _WIN32
  ADD_FAILURE() << "not run under Wine";
#else
  std::filesystem::path dir = HttpServers::Get().work_dir;
  std::string command = test_support::BinaryDir() + "/tools/qmfetch/qmfetch " + arguments + " >'" +
                        (dir / "qmfetch.out").string() + "' 2>'" + (dir / "qmfetch.err").string() +
                        "'";
  int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = test_support::ReadFileBytes(dir / "qmfetch.out");
  run.err = test_support::ReadFileBytes(dir / "qmfetch.err");
#endif
  return run;
}

class QmfetchTest : public testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "runs natively only";
#endif
  }
};

TEST_F(QmfetchTest, ExitStatusOutputAndErrors) {
  const HttpServers& s = HttpServers::Get();
  const std::string proxy = "127.0.0.1:" + std::to_string(s.proxy_port);
  test::SetScript(
      {{test::Read(), test::Send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nshort")}});
  struct Case {
    std::string arguments;
    int status;
    std::string out_part;  // empty: standard output must be empty
    std::string err_part;
  } cases[] = {
      {s.NginxUrl("/files/small.txt"), 0, "hello, quillmar\n", ""},
      {"-i " + s.NginxUrl("/moved"), 0, "HTTP/1.1 200 OK\r\n", ""},
      {"-x " + proxy + " -U user:password " + s.NginxUrl("/files/small.txt"), 0,
       "hello, quillmar\n", ""},
      {"-x 127.0.0.1 --proxy-port " + std::to_string(s.proxy_port) + " -U user:bad " +
           s.NginxUrl("/files/small.txt"),
       1, "", "Unauthorized"},
      {s.NginxUrl("/files/none"), 1, "", "404 Not Found"},
      {s.ScriptUrl("/short"), 1, "", "5 of 9 bytes"},
      {"", 2, "", "no URL given"},
      {"--help", 0, "usage: qmfetch", ""},
      {"-h", 0, "-o FILE", ""},
      {"-q " + s.NginxUrl("/"), 2, "", "unknown option -q"},
      {"-U nocolon " + s.NginxUrl("/"), 2, "", "USER:PASSWORD"},
      {"--proxy-port x " + s.NginxUrl("/"), 2, "", "bad proxy port"},
      {"-o", 2, "", "-o needs a value"},
  };
  for (const Case& c : cases) {
    ToolRun run = RunQmfetch(c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
    if (c.out_part.empty()) {
      EXPECT_EQ(run.out, "") << c.arguments;
    } else {
      EXPECT_NE(run.out.find(c.out_part), std::string::npos) << c.arguments << "\n" << run.out;
    }
    EXPECT_NE(run.err.find(c.err_part), std::string::npos) << c.arguments << "\n" << run.err;
  }
}

TEST_F(QmfetchTest, OutputFileAppearsOnlyAfterSuccess) {
  const HttpServers& s = HttpServers::Get();
  std::filesystem::path target = std::filesystem::path(s.work_dir) / "fetched.txt";
  std::ofstream(target) << "previous";
  test::SetScript(
      {{test::Read(), test::Send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nshort")}});
  ToolRun failed = RunQmfetch("-o '" + target.string() + "' " + s.ScriptUrl("/short"));
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(test_support::ReadFileBytes(target), "previous");
  test::SetScript({{test::Read(), test::Send("HTTP/1.0 302 Found\r\nLocation: /loop\r\n\r\n")}});
  ToolRun looping = RunQmfetch("-o '" + target.string() + "' " + s.ScriptUrl("/loop"));
  EXPECT_EQ(looping.status, 1);
  EXPECT_NE(looping.err.find("Too many relocations (more than 20), the last to http://"),
            std::string::npos)
      << looping.err;
  EXPECT_EQ(test_support::ReadFileBytes(target), "previous");

  ToolRun fetched = RunQmfetch("-o '" + target.string() + "' " + s.NginxUrl("/files/small.txt"));
  EXPECT_EQ(fetched.status, 0) << fetched.err;
  EXPECT_EQ(fetched.out, "");
  EXPECT_EQ(test_support::ReadFileBytes(target), "hello, quillmar\n");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(s.work_dir))
    files += entry.path().filename().string().starts_with("qm");
  EXPECT_EQ(files, 2u) << "only qmfetch.out and qmfetch.err; no temporary files left";
  std::filesystem::remove(target);
}

}  // namespace
}  // namespace qm::http
