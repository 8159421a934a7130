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

// Names the system gives (folders, files, arguments) travel through the core
// as code page 949 bytes too, but a folder may be named in any script: each
// UTF-16 unit the code page lacks is carried as a four-byte escape made of
// two double-byte pairs that code page 949 leaves unassigned (leads 0xC8 to
// 0xD7, trails 0x81 to 0xA0). No code page 949 text contains them, they hold
// no ASCII byte ("\", "/", "." and blanks keep their meaning), and a byte
// string walker of the code page steps over them as two whole characters.
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
