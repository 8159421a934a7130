#include "platform/process.h"

#include <windows.h>

#include <shellapi.h>

#include "platform/win32/command_line.h"
#include "platform/win32/win_text.h"

namespace qm::platform {

namespace win32 {

std::vector<std::wstring> ParseArguments(std::wstring_view command_line) {
  std::vector<std::wstring> arguments;
  size_t i = 0;
  const size_t n = command_line.size();
  bool first = true;
  while (true) {
    while (i < n && command_line[i] <= L' ') {
      ++i;
    }
    if (i >= n) {
      break;
    }
    std::wstring argument;
    bool quoted = false;
    while (i < n && (quoted || command_line[i] > L' ')) {
      if (command_line[i] == L'"') {
        quoted = !quoted;
      } else {
        argument += command_line[i];
      }
      ++i;
    }
    if (first) {
      first = false;  // the program name
    } else {
      arguments.push_back(std::move(argument));
    }
  }
  return arguments;
}

}  // namespace win32

bool StartProgram(const std::string& file, const std::string& parameters) {
  HINSTANCE result =
      ShellExecuteW(nullptr, nullptr, win32::PathToWide(file).c_str(),
                    win32::BytesToSystem(parameters).c_str(), nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

bool ActivateRunningClient() {
  HWND window = FindWindowW(L"TApplication", L"_quillmar_");
  if (!window) {
    return false;
  }
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  return true;
}

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> result;
  for (const std::wstring& argument : win32::ParseArguments(GetCommandLineW())) {
    result.push_back(win32::SystemToBytes(argument));
  }
  return result;
}

uint32_t TickCount() {
  return GetTickCount();
}

void SleepMs(uint32_t milliseconds) {
  Sleep(milliseconds);
}

LocalDateTime LocalNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalDateTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

}  // namespace qm::platform
