#include "zip/member_names.h"

#include <algorithm>
#include <string_view>

#include "util/ascii.h"
#include "util/string_helpers.h"
#include "zip/internal_mask.h"

namespace qm::zip {
namespace {

size_t LastSeparator(const std::string& path) {
  return path.find_last_of("\\/:");
}

bool MatchLine(std::string* line, bool recurse_dirs, const std::string& stored_name) {
  if (EqualsIgnoringAsciiCase(*line, stored_name)) {
    return true;
  }
  std::string line_folder = FolderPart(*line);
  std::string name_folder = FolderPart(stored_name);
  std::string subject;
  if (!recurse_dirs) {
    if (!EqualsIgnoringAsciiCase(line_folder, name_folder)) {
      return false;
    }
    subject = stored_name;
  } else {
    subject = line_folder.empty() ? NamePart(stored_name) : stored_name;
  }
  if (TInternalMask(*line).Matches(subject)) {
    return true;
  }
  if (subject.find('.') == std::string::npos) {
    subject += '.';
  }
  if (line->find('.') == std::string::npos) {
    *line += '.';
  }
  return TInternalMask(*line).Matches(subject);
}

}  // namespace

// Windows opens a device instead of a file for these names, in any folder
// and with any extension: the bytes of "COM1.txt" go to the port, "NUL"
// swallows them. The superscript digits are code page 949's.
bool IsDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  base = base.substr(0, base.find_last_not_of(' ') + 1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsIgnoringAsciiCase(base, device)) {
      return true;
    }
  }
  std::string_view number;
  if (base.size() >= 4 && (EqualsIgnoringAsciiCase(base.substr(0, 3), "COM") ||
                           EqualsIgnoringAsciiCase(base.substr(0, 3), "LPT"))) {
    number = base.substr(3);
  }
  return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xA9\xF6" ||
         number == "\xA9\xF7" || number == "\xA9\xF8";
}

std::string StoredName(const std::string& name_bytes) {
  std::string name = name_bytes;
  for (char& c : name) {
    if (c == '/') {
      c = '\\';
    }
  }
  return name;
}

bool SelectMember(std::vector<std::string>* file_spec,
                  bool recurse_dirs,
                  const std::string& stored_name) {
  for (std::string& line : *file_spec) {
    if (line.empty()) {
      continue;
    }
    if (MatchLine(&line, recurse_dirs, stored_name)) {
      return true;
    }
  }
  return false;
}

std::string FolderPart(const std::string& path) {
  size_t pos = LastSeparator(path);
  if (pos == std::string::npos) {
    return "";
  }
  if (pos == 2 && path[1] == ':' && path[2] == '\\') {
    return path.substr(0, 3);
  }
  return path.substr(0, pos) + "\\";
}

std::string NamePart(const std::string& path) {
  size_t pos = LastSeparator(path);
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) {
    return "";
  }
  if (a.back() == '\\') {
    return a + b;
  }
  return a + "\\" + b;
}

std::string NormalizeFolder(const std::string& folder) {
  std::string f = StoredName(folder);
  if (!f.empty() && f.back() != '\\') {
    f += '\\';
  }
  return f;
}

std::string StripRootPrefix(const std::string& stored_name) {
  size_t start = 0;
  for (;;) {
    const size_t left = stored_name.size() - start;
    if (left >= 2 && stored_name[start + 1] == ':' && AsciiLower(stored_name[start]) >= 'a' &&
        AsciiLower(stored_name[start]) <= 'z') {
      start += 2;
    } else if (left >= 1 && stored_name[start] == '\\') {
      ++start;
    } else {
      return stored_name.substr(start);
    }
  }
}

bool IsSafeStoredName(const std::string& name) {
  if (name.empty() || name[0] == '\\') {
    return false;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('\\', start);
    if (end == std::string::npos) {
      end = name.size();
    }
    std::string_view component(name.data() + start, end - start);
    // Windows drops trailing dots and blanks: "..", ". ." and "..." become
    // ".." or nothing, and "evil.exe." lands as "evil.exe". Only "." (this
    // folder) keeps its dot.
    if (!component.empty() && component != "." &&
        (component.back() == '.' || component.back() == ' ')) {
      return false;
    }
    if (IsDeviceName(component)) {
      return false;
    }
    start = end + 1;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == ':' || c == '<' || c == '>' || c == '|' || c == '"' || c == '?' ||
        c == '*') {
      return false;
    }
  }
  return true;
}

std::string TargetPath(const std::string& extract_dir,
                       bool use_stored_dirs,
                       const std::string& stored_name) {
  std::string name = stored_name;
  std::string folder;
  if (use_stored_dirs) {
    if (name.find(':') != std::string::npos) {
      size_t first = name.find('\\');
      name = name.substr(first == 2 ? 3 : std::min<size_t>(2, name.size()));
    } else if (!name.empty() && name[0] == '\\') {
      name = name.substr(1);
    }
    folder = JoinPath(extract_dir, FolderPart(name));
  } else {
    folder = extract_dir;
  }
  return JoinPath(folder, NamePart(name));
}

}  // namespace qm::zip
