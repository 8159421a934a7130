// Wall times of interleaved rounds, printed as best and median, and the
// machine's load beside them: the benchmarks share their machine.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace qm::bench {

struct Series {
  std::string name;
  std::vector<double> seconds;

  double best() const;
  double median() const;
};

void PrintSeries(const std::vector<Series>& series);

double SecondsSince(std::chrono::steady_clock::time_point start);

// The three figures of /proc/loadavg.
std::string LoadAverage();

}  // namespace qm::bench
