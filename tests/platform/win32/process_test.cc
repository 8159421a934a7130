// Process start, the command line and the running-client lookup under Wine.
#include "platform/process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/command_line.h"
#include "tests/platform/win32/test_support.h"

namespace qm::platform {
namespace {

TEST(CommandLineTest, SplitsAtBlanksGroupsQuotesAndSkipsTheProgram) {
  struct Case {
    const wchar_t* line;
    std::vector<std::wstring> expected;
  };
  const Case cases[] = {
      {L"QuillMar.exe", {}},
      {L"QuillMar.exe   ", {}},
      {L"\"C:\\Program Files\\Game\\QuillMar.exe\" first second", {L"first", L"second"}},
      {L"QuillMar.exe  a   b ", {L"a", L"b"}},
      {L"QuillMar.exe \"two words\" x", {L"two words", L"x"}},
      {L"QuillMar.exe a\"b c\"d", {L"ab cd"}},
      {L"QuillMar.exe \"\" x", {L"", L"x"}},
      {L"QuillMar.exe\ta\tb", {L"a", L"b"}},
      {L"QuillMar.exe \"unterminated arg", {L"unterminated arg"}},
      {L"C:\\Game\\QuillMar.exe \xD55C\xAE00", {L"\xD55C\xAE00"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "line " << (&c - cases));
    EXPECT_EQ(win32::ParseArguments(c.line), c.expected);
  }
}

std::string ChildPath() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  std::wstring path(buffer, n);
  path = path.substr(0, path.find_last_of(L'\\') + 1) + L"win32_child.exe";
  int size = WideCharToMultiByte(949, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string result(size - 1, '\0');
  WideCharToMultiByte(949, 0, path.c_str(), -1, result.data(), size, nullptr, nullptr);
  return result;
}

TEST(StartProgramTest, ChildReceivesTheParametersAsItsArguments) {
  std::string out = "C:\\qm-child-args.txt";
  DeleteFileA(out.c_str());
  std::string korean = Utf8ToCp949("\xED\x95\x9C\xEA\xB8\x80");  // 한글
  ASSERT_TRUE(StartProgram(ChildPath(), "args " + out + " \"two words\"  " + korean));
  DWORD start = GetTickCount();
  while (GetFileAttributesA(out.c_str()) == INVALID_FILE_ATTRIBUTES &&
         GetTickCount() - start < 20000)
    Sleep(50);
  std::ifstream in(out, std::ios::binary);
  ASSERT_TRUE(in.is_open()) << "the child did not run";
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "args\n" + out + "\ntwo words\n" + korean + "\n");
  in.close();
  DeleteFileA(out.c_str());
}

TEST(StartProgramTest, MissingProgramIsReportedAsNotStarted) {
  EXPECT_FALSE(StartProgram("C:\\no-such-folder\\_QuillMar_.exe", "x"));
}

TEST(ActivateRunningClientTest, FindsAndShowsTheClientWindow) {
  EXPECT_FALSE(ActivateRunningClient());
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"TApplication";
  ASSERT_NE(RegisterClassExW(&wc), 0);
  struct Case {
    const wchar_t* title;
    bool found;
  };
  for (Case c : {Case{L"_quillmar_x", false}, Case{L"_quillmar_", true}}) {
    SCOPED_TRACE(testing::Message() << c.found);
    HWND client = CreateWindowExW(0, L"TApplication", c.title, WS_OVERLAPPEDWINDOW, 10, 10, 100, 50,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(client, nullptr);
    EXPECT_FALSE(IsWindowVisible(client));
    EXPECT_EQ(ActivateRunningClient(), c.found);
    EXPECT_EQ(IsWindowVisible(client) != 0, c.found);
    DestroyWindow(client);
  }
  EXPECT_FALSE(ActivateRunningClient());
}

}  // namespace
}  // namespace qm::platform
