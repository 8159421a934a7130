// The single-threaded message loop on which every deferred step and every
// wait of the updater rests. Each object that receives posted messages owns a
// MessageWindow (a hidden window on Win32, a queue target on POSIX).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qm::platform {

// WM_USER: private message numbers are counted from here (1034 = kUserMessage + 10).
inline constexpr uint32_t kUserMessage = 0x0400;
// WM_CLOSE: a close request posted to the main window.
inline constexpr uint32_t kCloseMessage = 0x0010;

struct Message {
  uint32_t id = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
};

// A target for posted messages. Messages are delivered on the loop's thread,
// in posting order, never inside Post. Destroying the window drops whatever
// is still queued for it, so a late message never reaches a dead object.
class MessageWindow {
 public:
  using Handler = std::function<void(const Message&)>;

  explicit MessageWindow(Handler handler);
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  void Post(uint32_t id, uintptr_t wparam = 0, intptr_t lparam = 0) const;

  // The backend's handle of this window (HWND on Win32, a registry id on
  // POSIX), for platform services that deliver events to a window and for
  // PostToWindow from other threads.
  uintptr_t native_handle() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Thread-safe post by handle; a handle whose window is gone is ignored.
// The only call that may come from another thread (host lookup workers).
void PostToWindow(uintptr_t window_handle, uint32_t id, uintptr_t wparam, intptr_t lparam);

// Dispatches every pending message and event (posted messages, socket
// readiness, input, painting) and returns once nothing is pending.
void ProcessMessages();

// Blocks until a message or event is pending or timeout_ms has passed
// (negative: no limit). Never spins; does not dispatch.
void WaitForMessages(int timeout_ms);

// Runs the loop until QuitMessageLoop; returns its exit code. Nested calls
// are allowed (modal loops); each QuitMessageLoop ends the innermost one.
int RunMessageLoop();
void QuitMessageLoop(int exit_code = 0);

// The application's default error display: an exception that escapes a
// handler is shown through it and the loop goes on. The default shows a
// message box (Win32) or prints to standard error (POSIX).
using ErrorDisplay = std::function<void(const std::string& text)>;
void SetErrorDisplay(ErrorDisplay display);
void ShowApplicationError(const std::string& text);

}  // namespace qm::platform
