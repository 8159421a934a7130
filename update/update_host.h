// What the update run needs of its window: the status line and the progress
// bar. The cancel flag and transfer status live in the launcher state.
#pragma once

#include <string>

namespace qm::update {

class UpdateHost {
 public:
  virtual ~UpdateHost() = default;
  // The status line (C_Msg).
  virtual void SetStatus(const std::string& text) = 0;
  // The progress bar back to 0 (C_ProgBar).
  virtual void ResetProgress() = 0;
};

}  // namespace qm::update
