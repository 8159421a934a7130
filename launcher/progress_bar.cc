#include "launcher/progress_bar.h"

#include <algorithm>
#include <limits>

namespace qm {

TProgressBar::TProgressBar(Painter painter) : painter_(std::move(painter)) {}

int TProgressBar::Percent() const {
  if (max_ <= 0) {
    return 0;
  }
  // Avoids overflowing position * 100 for lengths beyond 2^56 or so.
  if (position_ > std::numeric_limits<int64_t>::max() / 100) {
    return static_cast<int>(position_ / (max_ / 100));
  }
  return static_cast<int>(position_ * 100 / max_);
}

void TProgressBar::SetPosition(int64_t position) {
  position_ = std::clamp<int64_t>(position, 0, max_);
  RepaintIfChanged();
}

void TProgressBar::SetMax(int64_t maximum) {
  max_ = std::max<int64_t>(maximum, 0);
  position_ = std::min(position_, max_);
  RepaintIfChanged();
}

void TProgressBar::RepaintIfChanged() {
  int percent = Percent();
  if (percent == painted_percent_) {
    return;
  }
  painted_percent_ = percent;
  if (painter_) {
    // The view takes int; huge lengths are scaled down together.
    int64_t position = position_;
    int64_t maximum = max_;
    while (maximum > std::numeric_limits<int>::max()) {
      position /= 2;
      maximum /= 2;
    }
    painter_(static_cast<int>(position), static_cast<int>(maximum));
  }
}

}  // namespace qm
