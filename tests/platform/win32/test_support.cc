#include "tests/platform/win32/test_support.h"

#include "platform/message_loop.h"

namespace qm::test {

bool PumpUntil(const std::function<bool()>& done, int timeout_ms) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (static_cast<int>(GetTickCount() - start) > timeout_ms)
      return false;
    platform::ProcessMessages();
    if (!done())
      platform::WaitForMessages(20);
  }
  return true;
}

Capture CaptureClient(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  Capture capture;
  capture.width = client.right;
  capture.height = client.bottom;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = capture.width;
  info.bmiHeader.biHeight = -capture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC window_dc = GetDC(window);
  HDC memory_dc = CreateCompatibleDC(window_dc);
  HBITMAP dib = CreateDIBSection(window_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory_dc, dib);
  BitBlt(memory_dc, 0, 0, capture.width, capture.height, window_dc, 0, 0, SRCCOPY);
  GdiFlush();
  const auto* pixels = static_cast<const uint32_t*>(bits);
  capture.pixels.assign(pixels, pixels + static_cast<size_t>(capture.width) * capture.height);
  for (uint32_t& p : capture.pixels)
    p &= 0xFFFFFF;
  SelectObject(memory_dc, old);
  DeleteObject(dib);
  DeleteDC(memory_dc);
  ReleaseDC(window, window_dc);
  return capture;
}

namespace {

struct ChildSearch {
  const wchar_t* class_name;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto* search = reinterpret_cast<ChildSearch*>(param);
  wchar_t name[64] = {};
  GetClassNameW(child, name, 64);
  if (lstrcmpiW(name, search->class_name) == 0)
    search->found.push_back(child);
  return TRUE;
}

}  // namespace

std::vector<HWND> ChildWindows(HWND parent, const wchar_t* class_name) {
  ChildSearch search{class_name, {}};
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring WindowText(HWND window) {
  int length = GetWindowTextLengthW(window);
  std::wstring text(length + 1, L'\0');
  length = GetWindowTextW(window, text.data(), length + 1);
  text.resize(length);
  return text;
}

}  // namespace qm::test
