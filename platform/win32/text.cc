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

namespace {

constexpr unsigned char kHighLead = 0xC8;  // 0xC8-0xCF: the unit's high byte
constexpr unsigned char kLowLead = 0xD0;   // 0xD0-0xD7: its low byte
constexpr unsigned char kTrail = 0x81;     // 0x81-0xA0: five bits each

bool InCodePage(wchar_t unit) {
  if (unit < 0x80)
    return true;
  char bytes[4];
  BOOL defaulted = FALSE;
  const int size = WideCharToMultiByte(kCodePage949, WC_NO_BEST_FIT_CHARS, &unit, 1, bytes,
                                       sizeof bytes, nullptr, &defaulted);
  return size > 0 && !defaulted;
}

void AppendEscape(wchar_t unit, std::string* out) {
  const unsigned high = static_cast<unsigned>(unit) >> 8;
  const unsigned low = static_cast<unsigned>(unit) & 0xFF;
  out->push_back(static_cast<char>(kHighLead + (high >> 5)));
  out->push_back(static_cast<char>(kTrail + (high & 0x1F)));
  out->push_back(static_cast<char>(kLowLead + (low >> 5)));
  out->push_back(static_cast<char>(kTrail + (low & 0x1F)));
}

bool InRange(unsigned char byte, unsigned char first, unsigned count) {
  return byte >= first && byte < first + count;
}

// The unit escaped at the start of bytes, if an escape starts there.
bool ReadEscape(std::string_view bytes, wchar_t* unit) {
  if (bytes.size() < 4)
    return false;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  if (!InRange(b[0], kHighLead, 8) || !InRange(b[1], kTrail, 32) || !InRange(b[2], kLowLead, 8) ||
      !InRange(b[3], kTrail, 32))
    return false;
  const unsigned high = ((b[0] - kHighLead) << 5) | (b[1] - kTrail);
  const unsigned low = ((b[2] - kLowLead) << 5) | (b[3] - kTrail);
  *unit = static_cast<wchar_t>((high << 8) | low);
  return !InCodePage(*unit);
}

}  // namespace

std::string SystemToBytes(std::wstring_view text) {
  BOOL defaulted = FALSE;
  const int size = text.empty() ? 0
                                : WideCharToMultiByte(kCodePage949, WC_NO_BEST_FIT_CHARS,
                                                      text.data(), static_cast<int>(text.size()),
                                                      nullptr, 0, nullptr, &defaulted);
  if (size > 0 && !defaulted)
    return WideToCp949(text);
  std::string result;
  size_t run = 0;  // start of the units not yet written
  for (size_t i = 0; i < text.size(); ++i) {
    if (!InCodePage(text[i])) {
      result += WideToCp949(text.substr(run, i - run));
      AppendEscape(text[i], &result);
      run = i + 1;
    }
  }
  return result + WideToCp949(text.substr(run));
}

std::wstring BytesToSystem(std::string_view bytes) {
  std::wstring result;
  size_t run = 0;  // start of the bytes not yet decoded
  size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    wchar_t unit = 0;
    if (ReadEscape(bytes.substr(i), &unit)) {
      result += Cp949ToWide(bytes.substr(run, i - run));
      result += unit;
      i += 4;
      run = i;
    } else {
      // A lead byte and its trail are one character: never look for an
      // escape that starts at a trail byte.
      i += (byte >= 0x81 && byte <= 0xFE && i + 1 < bytes.size()) ? 2 : 1;
    }
  }
  return result + Cp949ToWide(bytes.substr(run));
}

std::wstring PathToWide(std::string_view path) {
  std::wstring wide = BytesToSystem(path);
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
