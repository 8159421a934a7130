// Figures of repeated timed runs. The median is what the benchmarks' targets
// are judged on, as one slow round on a shared machine cannot move it; the
// best shows what the machine allows when nothing else runs.
#pragma once

#include <vector>

namespace qm::bench {

// The smallest value; 0 for none.
double Best(const std::vector<double>& values);

// The middle value, or the mean of the two middle ones for an even count;
// 0 for none.
double Median(std::vector<double> values);

}  // namespace qm::bench
