// The connect window's progress bar (C_ProgBar): minimum 0, a maximum and a
// position kept inside them. It asks for a repaint only when the whole-number
// percentage changes, so a transfer of many small reads does not flood the
// window with paints.
#pragma once

#include <cstdint>
#include <functional>

namespace qm {

class TProgressBar {
 public:
  using Painter = std::function<void(int position, int maximum)>;

  static constexpr int64_t kDefaultMaximum = 130;

  explicit TProgressBar(Painter painter);

  int64_t Position() const { return position_; }
  int64_t Max() const { return max_; }
  // 0 to 100, truncated; 0 while the maximum is 0.
  int Percent() const;

  // Stored clamped into 0 ... maximum.
  void SetPosition(int64_t position);
  // A negative maximum (an unknown length) is taken as 0; a position above
  // the new maximum comes down to it.
  void SetMax(int64_t maximum);

 private:
  void RepaintIfChanged();

  Painter painter_;
  int64_t max_ = kDefaultMaximum;
  int64_t position_ = 0;
  int painted_percent_ = 0;
};

}  // namespace qm
