// Win32 only: exceptions must never unwind through a window procedure (the
// system's frames between DispatchMessage and us cannot be unwound), so each
// window procedure runs its handlers through CallGuarded.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "platform/message_loop.h"

namespace qm::platform::win32 {

template <typename F>
void CallGuarded(F&& f) noexcept {
  try {
    std::forward<F>(f)();
  } catch (const std::exception& e) {
    ShowApplicationError(e.what());
  } catch (...) {
    ShowApplicationError("Unknown error");
  }
}

// The program's title: the executable's name without folder, cut at its
// first ".", every character after the first in lower case.
std::wstring ProgramTitle();

}  // namespace qm::platform::win32
