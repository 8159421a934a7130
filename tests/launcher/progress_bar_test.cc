#include "launcher/progress_bar.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace qm {
namespace {

TEST(ProgressBarTest, ClampingAndRepaints) {
  struct Step {
    const char* op;  // "pos" or "max"
    int64_t value;
    int64_t position;
    int64_t maximum;
    int percent;
    bool painted;
  };
  // Starts at 0 of 130.
  const Step steps[] = {
      {"pos", 1, 1, 130, 0, false},  // 0.77 %: still 0
      {"pos", 2, 2, 130, 1, true},   // 1.5 %
      {"pos", 3, 3, 130, 2, true},
      {"pos", -5, 0, 130, 0, true},       // clamped to the minimum
      {"pos", 500, 130, 130, 100, true},  // clamped to the maximum
      {"max", 65, 65, 65, 100, false},    // lowers the position with it
      {"max", 130, 65, 130, 50, true},
      {"max", 0, 0, 0, 0, true},  // 0 % while the maximum is 0
      {"pos", 10, 0, 0, 0, false},
      {"max", -1, 0, 0, 0, false},  // an unknown length counts as 0
      {"max", 200, 0, 200, 0, false},
      {"pos", 199, 199, 200, 99, true},  // truncated, not rounded
  };
  std::vector<std::pair<int, int>> paints;
  TProgressBar bar([&](int position, int maximum) { paints.emplace_back(position, maximum); });
  for (const Step& s : steps) {
    SCOPED_TRACE(std::string(s.op) + " " + std::to_string(s.value));
    size_t before = paints.size();
    if (std::string(s.op) == "pos") {
      bar.SetPosition(s.value);
    } else {
      bar.SetMax(s.value);
    }
    EXPECT_EQ(bar.Position(), s.position);
    EXPECT_EQ(bar.Max(), s.maximum);
    EXPECT_EQ(bar.Percent(), s.percent);
    ASSERT_EQ(paints.size(), before + (s.painted ? 1 : 0));
    if (s.painted) {
      EXPECT_EQ(paints.back(),
                std::make_pair(static_cast<int>(s.position), static_cast<int>(s.maximum)));
    }
  }
}

TEST(ProgressBarTest, LengthsBeyondTheViewsRange) {
  std::vector<std::pair<int, int>> paints;
  TProgressBar bar([&](int position, int maximum) { paints.emplace_back(position, maximum); });
  const int64_t huge = std::numeric_limits<int64_t>::max() - 7;
  bar.SetMax(huge);
  bar.SetPosition(huge / 2);
  EXPECT_EQ(bar.Percent(), 50);
  ASSERT_EQ(paints.size(), 1u);
  EXPECT_GT(paints[0].second, 0);
  EXPECT_NEAR(paints[0].first * 100.0 / paints[0].second, 50, 0.01)
      << "the view sees the same proportion";
  bar.SetPosition(huge);
  EXPECT_EQ(bar.Percent(), 100);
}

}  // namespace
}  // namespace qm
