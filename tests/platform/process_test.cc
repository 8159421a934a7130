#include "platform/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "platform/posix/command_line.h"

extern char** environ;
#endif

namespace qm::platform {
namespace {

using testing::SystemTempDir;

#ifdef _WIN32
TEST(ProcessTest, PosixOnly) {
  GTEST_SKIP() << "process start and client lookup under Win32 are tested in tests/platform/win32";
}
#else

// Waits (bounded) until the file exists and has content.
bool WaitForFile(const std::filesystem::path& path) {
  for (int i = 0; i < 200; ++i) {
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && std::filesystem::file_size(path, ec) > 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(ProcessTest, StartProgramSplitsParametersLikeAWindowsCommandLine) {
  SystemTempDir dir;
  dir.Write("Run.sh",
            "#!/bin/sh\nprintf '[%s]\\n' \"$@\" > \"$(dirname \"$0\")/args.tmp\"\n"
            "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/args.txt\"\n");
  std::filesystem::permissions(dir.os_path("Run.sh"), std::filesystem::perms::owner_all);
  // The file name's case does not matter; the call does not wait.
  ASSERT_TRUE(StartProgram(dir.path("RUN.SH"), "? BK  \"two words\" 82001-000-500-000001 "));
  ASSERT_TRUE(WaitForFile(dir.os_path("args.txt")));
  EXPECT_EQ(dir.Read("args.txt"), "[?]\n[BK]\n[two words]\n[82001-000-500-000001]\n");
}

TEST(ProcessTest, StartProgramFailsForWhatCannotRun) {
  SystemTempDir dir;
  dir.Write("data.txt", "not a program");
  EXPECT_FALSE(StartProgram(dir.path("missing.exe"), ""));
  EXPECT_FALSE(StartProgram(dir.path("data.txt"), "x"));
}

class RunningClient {
 public:
  // Starts argv[0] with the given arguments; killed when this ends.
  explicit RunningClient(std::vector<std::string> argv) {
    std::vector<char*> raw;
    raw.reserve(argv.size() + 1);
    for (std::string& a : argv) {
      raw.push_back(a.data());
    }
    raw.push_back(nullptr);
    // A group of its own, so that stopping it also stops what a script started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    started_ = posix_spawn(&pid_, raw[0], nullptr, &attributes, raw.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
  }
  ~RunningClient() { Stop(); }
  bool started() const { return started_; }
  // Waits until the process runs its program (its name is that program's).
  bool Runs(const std::string& comm) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string name;
      std::getline(std::ifstream("/proc/" + std::to_string(pid_) + "/comm"), name);
      if (name == comm) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Waits until the process has ended, without reaping it.
  bool Ends() const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      std::string stat;
      std::getline(std::ifstream("/proc/" + std::to_string(pid_) + "/stat"), stat);
      const size_t name_end = stat.rfind(')');
      if (name_end != std::string::npos && name_end + 2 < stat.size() &&
          stat[name_end + 2] == 'Z') {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  void Stop() {
    if (!started_) {
      return;
    }
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    started_ = false;
  }

 private:
  pid_t pid_ = 0;
  bool started_ = false;
};

// The lookup reads /proc, which may trail a spawn or a kill by a moment on a
// loaded machine; wait a while for the expected answer instead of racing it.
bool ClientLookupSettlesOn(bool expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ActivateRunningClient() != expected) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST(ProcessTest, ActivateRunningClientFindsAProcessNamedLikeTheClient) {
  SystemTempDir dir;
  std::filesystem::copy_file("/bin/sleep", dir.os_path("_QuillMar_.exe"));
  dir.Write("script/_quillmar_.EXE", "#!/bin/sh\nwhile :; do sleep 1; done\n");
  std::filesystem::permissions(dir.os_path("script/_quillmar_.EXE"),
                               std::filesystem::perms::owner_all);
  struct Case {
    const char* what;
    std::vector<std::string> argv;
  };
  const Case cases[] = {
      {"native program", {dir.linux_path("_QuillMar_.exe"), "30"}},
      {"script started by that name", {dir.linux_path("script/_quillmar_.EXE")}},
      // What a loader such as Wine shows: the Windows path as the first argument.
      {"Windows path", {"/bin/bash", "-c", "exec -a 'C:\\Game\\_QuillMar_.exe' sleep 30"}},
  };
  // Other tests that start a client hold the "quillmar_client" lock.
  EXPECT_FALSE(ActivateRunningClient());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunningClient client(c.argv);
    ASSERT_TRUE(client.started());
    EXPECT_TRUE(ClientLookupSettlesOn(true));
    client.Stop();
    EXPECT_TRUE(ClientLookupSettlesOn(false));
  }
  // A client that has ended, its parent not having reaped it yet, is gone.
  dir.Write("ended/_QuillMar_.exe", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(dir.os_path("ended/_QuillMar_.exe"),
                               std::filesystem::perms::owner_all);
  {
    RunningClient ended({dir.linux_path("ended/_QuillMar_.exe")});
    ASSERT_TRUE(ended.started() && ended.Ends());
    EXPECT_FALSE(ActivateRunningClient());
  }
  // Processes that only mention the name in a later argument are no client:
  // a pager or an editor showing the file.
  dir.Write("doc/_QuillMar_.exe", "not a program\n");
  RunningClient viewer({"/usr/bin/tail", dir.linux_path("doc/_QuillMar_.exe"), "-f"});
  RunningClient other({"/bin/sh", "-c", "sleep 30; true", "sh", "_QuillMar_.exe"});
  ASSERT_TRUE(viewer.started() && viewer.Runs("tail"));
  ASSERT_TRUE(other.started() && other.Runs("sh"));
  EXPECT_FALSE(ActivateRunningClient());
}

TEST(ProcessTest, CommandLineArgumentsAreTheRecordedOnesInCodePage949) {
  char program[] = "QuillMar";
  char spaced[] = "with blank";
  char korean[] = "\xEB\x8D\xB0\xEC\x9D\xB4\xED\x84\xB0";  // UTF-8 "데이터"
  char* argv[] = {program, spaced, korean, nullptr};
  posix::RecordCommandLine(3, argv);
  EXPECT_EQ(CommandLineArguments(),
            (std::vector<std::string>{"with blank", "\xB5\xA5\xC0\xCC\xC5\xCD"}));
  posix::RecordCommandLine(1, argv);
  EXPECT_TRUE(CommandLineArguments().empty());
}

TEST(ProcessTest, ClockAndSleep) {
  const uint32_t before = TickCount();
  SleepMs(60);
  const uint32_t elapsed = TickCount() - before;  // wraps like GetTickCount
  EXPECT_GE(elapsed, 55u);
  EXPECT_LT(elapsed, 60000u);
  const LocalDateTime now = LocalNow();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LE(now.second, 60);
}
#endif

}  // namespace
}  // namespace qm::platform
