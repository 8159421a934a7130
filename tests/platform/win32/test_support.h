// Helpers of the Win32 tests: pumping the loop for a while, capturing a
// window, reaching windows of the same thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/build_dirs.h"

namespace qm::test {

// Processes messages until done() or timeout_ms; true when done() held.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 5000);

struct Capture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // 0x00RRGGBB, top row first
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x] & 0xFFFFFF; }
};

// The client area of a window as it is on the screen.
Capture CaptureClient(HWND window);

// Where the build tree wants the test's output files.
using test_support::BinaryDir;

std::vector<HWND> ChildWindows(HWND parent, const wchar_t* class_name);
std::wstring WindowText(HWND window);

inline uint32_t Rgb(int r, int g, int b) {
  return (static_cast<uint32_t>(r) << 16) | (g << 8) | b;
}

}  // namespace qm::test
