#include "platform/message_loop.h"

#include <windows.h>

#include <stdexcept>
#include <vector>

#include "platform/win32/dialog_keys.h"
#include "platform/win32/guard.h"
#include "platform/win32/win_text.h"

namespace qm::platform {

struct MessageWindow::Impl {
  HWND hwnd = nullptr;
  // Shared so that a handler which destroys its own window finishes safely.
  std::shared_ptr<Handler> handler;
};

namespace {

constexpr wchar_t kMessageWindowClass[] = L"QmMessageWindow";

LRESULT CALLBACK MessageWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto* impl = reinterpret_cast<MessageWindow::Impl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!impl) {
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  }
  std::shared_ptr<MessageWindow::Handler> handler = impl->handler;
  win32::CallGuarded([&] {
    (*handler)(Message{msg, static_cast<uintptr_t>(wparam), static_cast<intptr_t>(lparam)});
  });
  // WM_CLOSE must not reach DefWindowProc: it would destroy the window under
  // its owner.
  if (msg >= WM_USER || msg == WM_CLOSE) {
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

void RegisterMessageWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = MessageWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kMessageWindowClass;
    return RegisterClassExW(&wc) != 0;
  }();
  if (!registered) {
    throw std::runtime_error("Cannot register the message window class");
  }
}

struct LoopFrame {
  bool quit = false;
  int exit_code = 0;
};

thread_local std::vector<LoopFrame*> g_loops;
thread_local bool g_quit_pending = false;
thread_local int g_pending_exit_code = 0;

// WM_QUIT (PostQuitMessage from anywhere) ends only the outermost loop; nested
// loops run on until their own QuitMessageLoop.
void QuitOutermost(int exit_code) {
  if (g_loops.empty()) {
    g_quit_pending = true;
    g_pending_exit_code = exit_code;
    return;
  }
  g_loops.front()->quit = true;
  g_loops.front()->exit_code = exit_code;
}

// Dispatches one pending message; false when none was pending.
bool DispatchOne() {
  MSG msg;
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    return false;
  }
  if (msg.message == WM_QUIT) {
    QuitOutermost(static_cast<int>(msg.wParam));
    return true;
  }
  if (win32::TranslateDialogKeys(&msg)) {
    return true;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

ErrorDisplay& Display() {
  static ErrorDisplay display;
  return display;
}

}  // namespace

namespace win32 {

namespace {
thread_local HWND g_keyboard_dialog = nullptr;
}  // namespace

void SetKeyboardDialog(HWND dialog) {
  g_keyboard_dialog = dialog;
}

HWND KeyboardDialog() {
  return g_keyboard_dialog;
}

bool TranslateDialogKeys(MSG* msg) {
  return g_keyboard_dialog && IsDialogMessageW(g_keyboard_dialog, msg);
}

std::wstring ProgramTitle() {
  wchar_t buffer[MAX_PATH * 2] = {};
  DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
  std::wstring name(buffer, length);
  size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) {
    name.erase(0, slash + 1);
  }
  size_t dot = name.find(L'.');
  if (dot != std::wstring::npos) {
    name.erase(dot);
  }
  if (name.size() > 1) {
    CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
  }
  return name;
}

}  // namespace win32

MessageWindow::MessageWindow(Handler handler) : impl_(std::make_unique<Impl>()) {
  RegisterMessageWindowClass();
  impl_->handler = std::make_shared<Handler>(std::move(handler));
  impl_->hwnd = CreateWindowExW(0, kMessageWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (!impl_->hwnd) {
    throw std::runtime_error("Cannot create a message window");
  }
  SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_.get()));
}

MessageWindow::~MessageWindow() {
  // Messages still queued for the handle go nowhere once it is destroyed.
  SetWindowLongPtrW(impl_->hwnd, GWLP_USERDATA, 0);
  DestroyWindow(impl_->hwnd);
}

void MessageWindow::Post(uint32_t id, uintptr_t wparam, intptr_t lparam) const {
  // A lost message would stall its owner for good (the queue holds 10000).
  if (!PostMessageW(impl_->hwnd, id, wparam, lparam)) {
    throw std::runtime_error("Cannot post a window message");
  }
}

uintptr_t MessageWindow::native_handle() const {
  return reinterpret_cast<uintptr_t>(impl_->hwnd);
}

void PostToWindow(uintptr_t window_handle, uint32_t id, uintptr_t wparam, intptr_t lparam) {
  // A null handle would make PostMessage post to the calling thread instead.
  if (window_handle == 0) {
    return;
  }
  PostMessageW(reinterpret_cast<HWND>(window_handle), id, wparam, lparam);
}

void ProcessMessages() {
  while (DispatchOne()) {
  }
}

void WaitForMessages(int timeout_ms) {
  DWORD timeout = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

int RunMessageLoop() {
  LoopFrame frame;
  if (g_loops.empty() && g_quit_pending) {
    g_quit_pending = false;
    return g_pending_exit_code;
  }
  g_loops.push_back(&frame);
  while (!frame.quit) {
    if (!DispatchOne()) {
      WaitForMessages(-1);
    }
  }
  g_loops.pop_back();
  return frame.exit_code;
}

void QuitMessageLoop(int exit_code) {
  if (g_loops.empty()) {
    g_quit_pending = true;
    g_pending_exit_code = exit_code;
    return;
  }
  g_loops.back()->quit = true;
  g_loops.back()->exit_code = exit_code;
}

void SetErrorDisplay(ErrorDisplay display) {
  Display() = std::move(display);
}

void ShowApplicationError(const std::string& text) {
  ErrorDisplay display = Display();
  if (display) {
    try {
      display(text);
      return;
    } catch (...) {
      // Fall back to the message box below.
    }
  }
  MessageBoxW(nullptr, win32::BytesToSystem(text).c_str(), win32::ProgramTitle().c_str(),
              MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

}  // namespace qm::platform
