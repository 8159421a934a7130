#include "tools/qmpublish/progress.h"

#include <unistd.h>

namespace qm::publish {

std::string MegaBytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

Progress::Progress(std::FILE* out) : out_(out), terminal_(out && isatty(fileno(out))) {}

void Progress::Begin(const std::string& label, uint64_t total) {
  label_ = label;
  total_ = total;
  last_ = {};
  Update(0);
}

void Progress::Update(uint64_t done) {
  if (!terminal_) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (done != 0 && done < total_ && now - last_ < std::chrono::milliseconds(200)) {
    return;
  }
  last_ = now;
  const unsigned percent = total_ ? static_cast<unsigned>(done * 100 / total_) : 100;
  std::fprintf(out_, "\r%s: %3u%% of %s\x1b[K", label_.c_str(), percent, MegaBytes(total_).c_str());
  std::fflush(out_);
  line_open_ = true;
}

void Progress::ClearLine() {
  if (line_open_) {
    std::fputs("\r\x1b[K", out_);
    line_open_ = false;
  }
}

void Progress::End(const std::string& text) {
  if (text.empty()) {
    ClearLine();
    return;
  }
  Note(text);
}

void Progress::Note(const std::string& text) {
  if (!out_) {
    return;
  }
  ClearLine();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

}  // namespace qm::publish
