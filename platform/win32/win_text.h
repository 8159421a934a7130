// Win32 only: conversions between the core's byte strings and UTF-16 for the
// W functions.
#pragma once

#include <string>
#include <string_view>

namespace qm::platform::win32 {

inline constexpr unsigned kCodePage949 = 949;

std::wstring MultiToWide(unsigned code_page, std::string_view text);
std::string WideToMulti(unsigned code_page, std::wstring_view text);

// Texts: code page 949 both ways; a character it lacks becomes "?".
inline std::wstring Cp949ToWide(std::string_view text) {
  return MultiToWide(kCodePage949, text);
}
inline std::string WideToCp949(std::wstring_view text) {
  return WideToMulti(kCodePage949, text);
}

// Names the system gives (folders, files, arguments) as the core's bytes,
// each UTF-16 unit code page 949 lacks escaped (platform/path_escape.h).
std::string SystemToBytes(std::wstring_view text);
// The inverse; anything else decodes as code page 949 text. An escape of a
// character the code page has is no escape, so no "\" or "." can hide in one.
std::wstring BytesToSystem(std::string_view bytes);

// A path of the core ("\" or "/" separators) as the W functions take it.
std::wstring PathToWide(std::string_view path);
// UTF-8 source literals (Korean window titles, font names) as UTF-16.
std::wstring Utf8ToWide(std::string_view text);
inline std::wstring Utf8ToWide(std::u8string_view text) {
  return Utf8ToWide(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

}  // namespace qm::platform::win32
