#include "platform/win32/system_library.h"

#include <string>

namespace qm::platform::win32 {

namespace {

// Windows 7 and older without update KB2533623 lack these flags and the call.
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

}  // namespace

void RestrictLibrarySearch() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (!set_default || !set_default(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    SetDllDirectoryW(L"");  // at least not the current folder
  }
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || GetLastError() != ERROR_INVALID_PARAMETER) {
    return module;
  }
  // Without the flag: the full path, and the library's own dependencies
  // looked up from its folder.
  std::wstring path(MAX_PATH, L'\0');
  const UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
  if (length == 0 || length >= path.size()) {
    return nullptr;
  }
  path.resize(length);
  path += L'\\';
  path += name;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace qm::platform::win32
