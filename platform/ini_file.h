// Accessor for INI (private profile) files. Opened on a path, used for a few
// calls, released at once; nothing is cached between calls.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace qm::platform {

// Raised by WriteString when the file cannot be written.
class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A line break in a value would start new lines of their own in the file:
// both backends write each CR and LF of a value as a blank.
inline std::string IniValueWithoutLineBreaks(std::string value) {
  for (char& c : value) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  return value;
}

class IniFile {
 public:
  explicit IniFile(std::string path);  // the file need not exist
  ~IniFile();                          // flushes pending writes
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  const std::string& path() const { return path_; }

  // The value, or default_value when the section or key is absent. Section
  // and key names ignore case; blanks around the value and one pair of
  // enclosing quotes are dropped; at most 2047 bytes.
  std::string ReadString(const std::string& section,
                         const std::string& key,
                         const std::string& default_value) const;
  // Clears list, then appends the key names of the section in file order.
  void ReadSection(const std::string& section, std::vector<std::string>& list) const;
  // Clears list, then appends "key=value" per key of the section in file order.
  void ReadSectionValues(const std::string& section, std::vector<std::string>& list) const;
  // Creates file, section or key as needed. Raises EIniFileException
  // "Unable to write to <path>" when the platform refuses the write.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);

 private:
  std::string path_;
};

}  // namespace qm::platform
