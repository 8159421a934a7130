// System libraries come from the system folder even when the program's own
// folder holds DLLs of the same names (a launcher saved to Downloads). The
// test runs with Wine told to prefer such DLLs, as Windows' search order does.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/platform/win32/test_support.h"

namespace qm {
namespace {

std::wstring Wide(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A folder holding the probe program beside the planted libraries.
class PlantedFolder {
 public:
  PlantedFolder() {
    folder_ = L"C:\\qm-plant-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder_.c_str(), nullptr);
    const std::wstring built = Wide(test::BinaryDir() + "/tests/platform/win32/");
    Copy(built + L"plant_probe.exe", L"QuillMar.exe");
    for (const wchar_t* name : kNames)
      Copy(built + L"planted\\" + name, name);
  }
  ~PlantedFolder() {
    DeleteFileW((folder_ + L"QuillMar.exe").c_str());
    for (const wchar_t* name : kNames) {
      DeleteFileW((folder_ + name).c_str());
      DeleteFileW((folder_ + name + L".loaded").c_str());
    }
    RemoveDirectoryW(folder_.c_str());
  }
  std::wstring operator/(const wchar_t* name) const { return folder_ + name; }

  static constexpr const wchar_t* kNames[] = {L"wsock32.dll", L"version.dll", L"bcrypt.dll"};

 private:
  void Copy(const std::wstring& from, const wchar_t* name) {
    ASSERT_TRUE(CopyFileW(from.c_str(), (folder_ + name).c_str(), FALSE)) << name;
  }
  std::wstring folder_;
};

// Exit status of the program, or -1 when it did not start or end.
long RunProgram(const std::wstring& program) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  std::wstring command = L"\"" + program + L"\"";
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process))
    return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
    GetExitCodeProcess(process.hProcess, &code);
  else
    TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(code);
}

TEST(DllPlantingTest, PlantedLibrariesMarkTheirLoading) {
  PlantedFolder folder;
  for (const wchar_t* name : PlantedFolder::kNames) {
    HMODULE module = LoadLibraryW((folder / name).c_str());
    ASSERT_NE(module, nullptr);
    FreeLibrary(module);
    EXPECT_TRUE(Exists(folder / name + L".loaded")) << "the marker shows a load";
  }
}

TEST(DllPlantingTest, LauncherLoadsSystemLibrariesFromTheSystemFolderOnly) {
  PlantedFolder folder;
  EXPECT_EQ(RunProgram(folder / L"QuillMar.exe"), 0)
      << "sockets, version resources and SHA-256 work";
  for (const wchar_t* name : PlantedFolder::kNames)
    EXPECT_FALSE(Exists(folder / name + L".loaded")) << "the planted one was loaded: " << name;
}

}  // namespace
}  // namespace qm
