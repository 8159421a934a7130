// Win32 only: window classes whose windows belong to a C++ owner, passed as
// CreateWindowEx's creation parameter. The owner answers
//   bool Handle(HWND, UINT, WPARAM, LPARAM, LRESULT* result)
// and returns false for what DefWindowProc should do.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/win32/guard.h"

namespace qm::platform::win32 {

template <typename Owner>
LRESULT CALLBACK OwnedWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* owner = reinterpret_cast<Owner*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!owner)
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  LRESULT result = 0;
  bool handled = false;
  CallGuarded([&] { handled = owner->Handle(hwnd, msg, wparam, lparam, &result); });
  return handled ? result : DefWindowProcW(hwnd, msg, wparam, lparam);
}

// Registers the class on first use; `what` names it in the error.
template <typename Owner>
void RegisterOwnedWindowClass(const wchar_t* class_name, HBRUSH background, const char* what) {
  static const bool registered = [&] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = OwnedWindowProc<Owner>;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = class_name;
    return RegisterClassExW(&wc) != 0;
  }();
  if (!registered)
    throw std::runtime_error(std::string("Cannot register the ") + what + " class");
}

}  // namespace qm::platform::win32
