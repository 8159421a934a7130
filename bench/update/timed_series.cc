#include "bench/update/timed_series.h"

#include <cstdio>
#include <fstream>

#include "bench/common/stats.h"

namespace qm::bench {

double Series::best() const {
  return Best(seconds);
}

double Series::median() const {
  return Median(seconds);
}

void PrintSeries(const std::vector<Series>& series) {
  std::printf("  %-52s %8s %8s\n", "", "best", "median");
  for (const Series& s : series) {
    std::printf("  %-52s %7.3fs %7.3fs\n", s.name.c_str(), s.best(), s.median());
  }
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace qm::bench
