// Progress of long work on a terminal: one line rewritten in place; without
// a terminal (a build log) only the finished steps are printed.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qm::publish {

class Progress {
 public:
  explicit Progress(std::FILE* out);
  // A step of `total` bytes begins.
  void Begin(const std::string& label, uint64_t total);
  void Update(uint64_t done);
  // The step is over; text, unless empty, is printed on its own line.
  void End(const std::string& text);
  // A line that stays, such as a warning.
  void Note(const std::string& text);

 private:
  void ClearLine();

  std::FILE* out_;
  bool terminal_;
  std::string label_;
  uint64_t total_ = 0;
  std::chrono::steady_clock::time_point last_{};
  bool line_open_ = false;
};

std::string MegaBytes(uint64_t bytes);

}  // namespace qm::publish
