// Runs one program the way a player's start would, but without a terminal:
// stdin from /dev/null, stdout and stderr to a log file. Measures its wall
// time and, when asked, the peak resident memory of its own address space.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qm::bench {

struct ChildRun {
  bool started = false;
  bool timed_out = false;
  bool killed = false;  // by kill_when
  int exit_code = -1;   // -1 when it did not start, was killed or timed out
  double seconds = 0;
  // VmHWM of the child's own process image (after exec), last read before
  // it exited; -1 unless memory was watched.
  long peak_kib = -1;
  // Of the sample with the highest VmRSS: its anonymous pages (heap, stacks)
  // and its file pages (the program, libraries, mapped files).
  long rss_anon_kib = -1;
  long rss_file_kib = -1;
  // wait4's figure; on Linux it also holds the high-water mark of the image
  // the child replaced at exec (the parent's pages), so it is an upper bound.
  long maxrss_kib = -1;
};

// argv[0] is the program, looked up in PATH when it has no "/". The child
// is killed after limit_seconds, or with SIGKILL as soon as kill_when (asked
// every millisecond while it runs) says so.
ChildRun RunChild(const std::vector<std::string>& argv,
                  const std::filesystem::path& working_folder,
                  const std::filesystem::path& log,
                  bool watch_memory,
                  double limit_seconds,
                  const std::function<bool()>& kill_when = {});

// Runs a shell command in the foreground; its exit code, -1 if it crashed.
int Shell(const std::string& command);

// A path quoted for the shell.
std::string Quote(const std::filesystem::path& path);

// The last lines of a text file, for failure reports.
std::string Tail(const std::filesystem::path& file, int lines);

}  // namespace qm::bench
