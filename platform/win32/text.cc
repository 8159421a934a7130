#include "platform/text.h"

#include <windows.h>

#include "platform/path_escape.h"
#include "platform/win32/win_text.h"

namespace qm::platform {
namespace win32 {

std::wstring MultiToWide(unsigned code_page, std::string_view text) {
  if (text.empty()) {
    return {};
  }
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
  if (text.empty()) {
    return {};
  }
  int size = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string result(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size, nullptr, nullptr);
  }
  return result;
}

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");

std::u16string_view Units(std::wstring_view text) {
  return {reinterpret_cast<const char16_t*>(text.data()), text.size()};
}

std::wstring_view Wide(std::u16string_view units) {
  return {reinterpret_cast<const wchar_t*>(units.data()), units.size()};
}

class WindowsCodePage final : public path_escape::CodePage {
 public:
  bool Has(char16_t unit) const override {
    if (unit < 0x80) {
      return true;
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      return false;
    }
    const auto wide = static_cast<wchar_t>(unit);
    char bytes[4];
    BOOL defaulted = FALSE;
    const int size = WideCharToMultiByte(kCodePage949, WC_NO_BEST_FIT_CHARS, &wide, 1, bytes,
                                         sizeof bytes, nullptr, &defaulted);
    return size > 0 && !defaulted;
  }
  std::string Encode(std::u16string_view units) const override { return WideToCp949(Wide(units)); }
};

}  // namespace

std::string SystemToBytes(std::wstring_view text) {
  return path_escape::Escape(Units(text), path_escape::SystemCodePage());
}

std::wstring BytesToSystem(std::string_view bytes) {
  std::wstring result;
  for (const path_escape::Piece& piece : path_escape::Split(bytes, path_escape::SystemCodePage())) {
    if (piece.escaped) {
      result += static_cast<wchar_t>(piece.unit);
    } else {
      result += Cp949ToWide(piece.bytes);
    }
  }
  return result;
}

std::wstring PathToWide(std::string_view path) {
  std::wstring wide = BytesToSystem(path);
  for (wchar_t& c : wide) {
    if (c == L'/') {
      c = L'\\';
    }
  }
  return wide;
}

std::wstring Utf8ToWide(std::string_view text) {
  return MultiToWide(CP_UTF8, text);
}

}  // namespace win32

const path_escape::CodePage& path_escape::SystemCodePage() {
  static const win32::WindowsCodePage code_page;
  return code_page;
}

std::string Cp949ToUtf8(const std::string& text) {
  // Texts may name the game folder, whose name may hold escapes.
  return win32::WideToMulti(CP_UTF8, win32::BytesToSystem(text));
}

std::string Utf8ToCp949(const std::string& text) {
  return win32::WideToCp949(win32::MultiToWide(CP_UTF8, text));
}

}  // namespace qm::platform
