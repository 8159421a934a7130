#include "platform/ini_file.h"

#include <windows.h>

#include <cwctype>
#include <unordered_map>

#include "platform/win32/win_text.h"

namespace qm::platform {

namespace {

// The profile functions store text in the system's ANSI code page. Texts
// are converted with that same code page, so the file holds exactly the
// bytes we were given (the code page 949 bytes on a Korean system, and the
// same bytes unchanged under a single-byte code page), as the POSIX backend
// writes them. The path alone is a real code page 949 name.
std::wstring TextToWide(const std::string& text) {
  return win32::MultiToWide(CP_ACP, text);
}

std::string WideToText(std::wstring_view text) {
  return win32::WideToMulti(CP_ACP, text);
}

constexpr DWORD kValueBuffer = 2048;
constexpr DWORD kSectionBuffer = 16384;
constexpr size_t kMaxValueBytes = kValueBuffer - 1;

// Cuts a value to what a 2048-byte ANSI buffer holds, on a character border.
std::string CutValue(std::wstring_view wide) {
  std::string text = WideToText(wide);
  while (text.size() > kMaxValueBytes) {
    wide.remove_suffix(1);
    text = WideToText(wide);
  }
  return text;
}

// Splits a buffer of NUL-terminated names that ends in an empty name.
std::vector<std::wstring> SplitNames(const wchar_t* buffer, DWORD length) {
  std::vector<std::wstring> names;
  const wchar_t* p = buffer;
  const wchar_t* end = buffer + length;
  while (p < end && *p) {
    std::wstring name(p);
    p += name.size() + 1;
    names.push_back(std::move(name));
  }
  return names;
}

// Section buffers grow up to this many characters; a larger section is read
// key by key.
constexpr DWORD kMaxSectionLines = 1u << 24;

std::wstring FoldCase(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) {
    c = static_cast<wchar_t>(std::towlower(c));
  }
  return folded;
}

// A value as the profile functions return one: without a pair of enclosing
// quotes, and no longer than their value buffer.
std::wstring_view ProfileValue(std::wstring_view value) {
  if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  if (value.size() > kValueBuffer - 1) {
    value = value.substr(0, kValueBuffer - 1);
  }
  return value;
}

// Every key=value line of a section in one call, keyed by the folded key
// (the first line of a key wins, as for a single read); false when the
// section does not fit.
bool ReadSectionLines(const std::wstring& section,
                      const std::wstring& path,
                      std::unordered_map<std::wstring, std::wstring>* values) {
  std::wstring buffer;
  for (DWORD size = 1u << 16; size <= kMaxSectionLines; size *= 2) {
    buffer.assign(size, L'\0');
    const DWORD length =
        GetPrivateProfileSectionW(section.c_str(), buffer.data(), size, path.c_str());
    if (length + 2 >= size) {
      continue;  // cut short: a larger buffer
    }
    for (const std::wstring& line : SplitNames(buffer.data(), length)) {
      const size_t equals = line.find(L'=');
      if (equals != std::wstring::npos) {
        values->emplace(FoldCase(std::wstring_view(line).substr(0, equals)),
                        std::wstring(ProfileValue(std::wstring_view(line).substr(equals + 1))));
      }
    }
    return true;
  }
  return false;
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {}

IniFile::~IniFile() {
  WritePrivateProfileStringW(nullptr, nullptr, nullptr, win32::PathToWide(path_).c_str());
}

std::string IniFile::ReadString(const std::string& section,
                                const std::string& key,
                                const std::string& default_value) const {
  std::wstring buffer(kValueBuffer, L'\0');
  DWORD length = GetPrivateProfileStringW(TextToWide(section).c_str(), TextToWide(key).c_str(),
                                          TextToWide(default_value).c_str(), buffer.data(),
                                          kValueBuffer, win32::PathToWide(path_).c_str());
  return CutValue(std::wstring_view(buffer.data(), length));
}

void IniFile::ReadSection(const std::string& section, std::vector<std::string>& list) const {
  list.clear();
  std::wstring buffer(kSectionBuffer, L'\0');
  DWORD length = GetPrivateProfileStringW(TextToWide(section).c_str(), nullptr, L"", buffer.data(),
                                          kSectionBuffer, win32::PathToWide(path_).c_str());
  for (const std::wstring& name : SplitNames(buffer.data(), length)) {
    list.push_back(WideToText(name));
  }
}

void IniFile::ReadSectionValues(const std::string& section, std::vector<std::string>& list) const {
  std::vector<std::string> keys;
  ReadSection(section, keys);
  list.clear();
  // One read of the section instead of one per key: a settings file from
  // the server may hold thousands of keys.
  std::unordered_map<std::wstring, std::wstring> values;
  const bool whole = ReadSectionLines(TextToWide(section), win32::PathToWide(path_), &values);
  for (const std::string& key : keys) {
    const auto found = whole ? values.find(FoldCase(TextToWide(key))) : values.end();
    list.push_back(
        key + "=" +
        (found != values.end() ? CutValue(found->second) : ReadString(section, key, "")));
  }
}

void IniFile::WriteString(const std::string& section,
                          const std::string& key,
                          const std::string& value) {
  const std::string clean_value = IniValueWithoutLineBreaks(value);
  if (!WritePrivateProfileStringW(TextToWide(section).c_str(), TextToWide(key).c_str(),
                                  TextToWide(clean_value).c_str(),
                                  win32::PathToWide(path_).c_str())) {
    throw EIniFileException("Unable to write to " + path_);
  }
}

}  // namespace qm::platform
