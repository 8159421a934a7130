#include "platform/text.h"

#include <windows.h>

#include "platform/win32/win_text.h"

namespace qm::platform {
namespace win32 {

std::wstring MultiToWide(unsigned code_page, std::string_view text) {
  if (text.empty())
    return {};
  int size =
      MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(size > 0 ? size : 0, L'\0');
  if (size > 0) {
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size);
  }
  return result;
}

std::string WideToMulti(unsigned code_page, std::wstring_view text) {
  if (text.empty())
    return {};
  int size = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string result(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size, nullptr, nullptr);
  }
  return result;
}

std::wstring PathToWide(std::string_view path) {
  std::wstring wide = Cp949ToWide(path);
  for (wchar_t& c : wide) {
    if (c == L'/')
      c = L'\\';
  }
  return wide;
}

std::wstring Utf8ToWide(std::string_view text) {
  return MultiToWide(CP_UTF8, text);
}

}  // namespace win32

std::string Cp949ToUtf8(const std::string& text) {
  return win32::WideToMulti(CP_UTF8, win32::Cp949ToWide(text));
}

std::string Utf8ToCp949(const std::string& text) {
  return win32::WideToCp949(win32::MultiToWide(CP_UTF8, text));
}

}  // namespace qm::platform
