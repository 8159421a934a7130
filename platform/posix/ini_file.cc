// Private-profile files without the Windows services: the same text form and
// the same reading rules as GetPrivateProfileString (as Wine implements them),
// written through a temporary file so that a failed write loses nothing.
#include "platform/ini_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <unordered_map>

#include "platform/posix/os_path.h"
#include "util/ascii.h"

namespace qm::platform {
namespace {

constexpr size_t kValueBufferSize = 2048;
constexpr size_t kKeyListBufferSize = 16384;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\x1a';
}

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) {
    ++begin;
  }
  while (end > begin && IsBlank(text[end - 1])) {
    --end;
  }
  return text.substr(begin, end - begin);
}

// One line of the file as the profile rules see it.
struct Line {
  enum class Kind { kBlank, kSection, kKey, kOther };
  Kind kind = Kind::kBlank;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed
  bool has_value = false;
};

Line ParseLine(const std::string& raw) {
  Line line;
  std::string text = Trim(raw);
  if (text.empty()) {
    return line;
  }
  if (text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) {
      line.kind = Line::Kind::kOther;  // no closing bracket: ignored
      return line;
    }
    line.kind = Line::Kind::kSection;
    line.name = Trim(text.substr(1, close - 1));
    return line;
  }
  line.kind = Line::Kind::kKey;
  size_t equals = text.find('=');
  if (equals == std::string::npos) {
    line.name = text;
    return line;
  }
  line.name = Trim(text.substr(0, equals));
  line.value = Trim(text.substr(equals + 1));
  line.has_value = true;
  return line;
}

// The file's lines without their line ends, and whether it exists.
struct Content {
  std::vector<std::string> lines;
  bool exists = false;
  mode_t mode = 0;
  uid_t owner = 0;
};

bool ReadContent(const std::string& os_path, Content* content) {
  int fd = ::open(os_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR;  // absent reads as empty
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  content->exists = true;
  content->mode = st.st_mode & 07777;
  content->owner = st.st_uid;
  std::string data;
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) {
      break;
    }
    data.append(buffer, n);
  }
  ::close(fd);
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) {
      end = data.size();
    }
    std::string line = data.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    content->lines.push_back(std::move(line));
    start = end + 1;
  }
  return true;
}

// Index range [begin, end) of the lines of the first section named section,
// begin being the line after its header.
struct SectionRange {
  size_t header = 0;
  size_t begin = 0;
  size_t end = 0;
};

// Lines before the first header belong to the section with the empty name.
std::optional<SectionRange> FindSection(const std::vector<Line>& lines,
                                        const std::string& section) {
  std::optional<SectionRange> range;
  if (section.empty()) {
    range = SectionRange{0, 0, 0};
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != Line::Kind::kSection) {
      continue;
    }
    if (range) {
      range->end = i;
      return range;
    }
    if (EqualsIgnoringAsciiCase(lines[i].name, section)) {
      range = SectionRange{i, i + 1, 0};
    }
  }
  if (range) {
    range->end = lines.size();
  }
  return range;
}

std::vector<Line> ParseAll(const Content& content) {
  std::vector<Line> lines;
  lines.reserve(content.lines.size());
  for (const std::string& raw : content.lines) {
    lines.push_back(ParseLine(raw));
  }
  return lines;
}

Content Load(const std::string& path) {
  Content content;
  if (!ReadContent(posix::ToOsPath(path), &content)) {
    content = Content();  // unreadable reads as empty, as Windows does
  }
  return content;
}

std::string ValueFor(const std::string& raw) {
  std::string value = raw;
  if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
    value = value.substr(1, value.size() - 2);
  }
  if (value.size() > kValueBufferSize - 1) {
    value.resize(kValueBufferSize - 1);
  }
  return value;
}

[[noreturn]] void Refuse(const std::string& path) {
  throw EIniFileException("Unable to write to " + path);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes data to a temporary file beside os_path, flushes it and renames it
// over os_path: the file is either the old one or the new one, never half.
bool ReplaceContent(const std::string& os_path, const std::string& data, mode_t mode) {
  std::string temp = os_path + ".qmtmp-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    return false;
  }
  bool ok = WriteAll(fd, data) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), os_path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
  }
  return ok;
}

// Rewrites the file itself: for a folder that refuses new files, and for a
// file of another owner, whom a replacement would take it from.
bool RewriteInPlace(const std::string& os_path, const std::string& data) {
  int fd = ::open(os_path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = WriteAll(fd, data) && ::ftruncate(fd, static_cast<off_t>(data.size())) == 0 &&
            ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

mode_t DefaultMode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {}

IniFile::~IniFile() = default;  // every write is on disk when WriteString returns

std::string IniFile::ReadString(const std::string& section,
                                const std::string& key,
                                const std::string& default_value) const {
  if (key.empty()) {
    return default_value;
  }
  std::vector<Line> lines = ParseAll(Load(path_));
  std::optional<SectionRange> range = FindSection(lines, section);
  if (!range) {
    return default_value;
  }
  for (size_t i = range->begin; i < range->end; ++i) {
    const Line& line = lines[i];
    if (line.kind == Line::Kind::kKey && line.has_value &&
        EqualsIgnoringAsciiCase(line.name, key)) {
      return ValueFor(line.value);
    }
  }
  return default_value;
}

namespace {

// The key names of a section as the fixed-size buffer passes them: NUL
// after each, one more at the end. The name that does not fit is cut, the
// ones after it lost.
std::vector<std::string> SectionKeyNames(const std::vector<Line>& lines,
                                         const SectionRange& range) {
  std::vector<std::string> names;
  size_t room = kKeyListBufferSize - 1;
  for (size_t i = range.begin; i < range.end; ++i) {
    const Line& line = lines[i];
    if (line.kind != Line::Kind::kKey || !line.has_value || line.name.empty() ||
        line.name[0] == ';') {
      continue;
    }
    if (line.name.size() + 1 <= room) {
      names.push_back(line.name);
      room -= line.name.size() + 1;
      continue;
    }
    if (room > 1) {
      names.push_back(line.name.substr(0, room - 1));
    }
    break;
  }
  return names;
}

}  // namespace

void IniFile::ReadSection(const std::string& section, std::vector<std::string>& list) const {
  list.clear();
  std::vector<Line> lines = ParseAll(Load(path_));
  std::optional<SectionRange> range = FindSection(lines, section);
  if (range) {
    list = SectionKeyNames(lines, *range);
  }
}

// One read and one parse of the file, whatever the number of keys: each
// value is the first of its name in the section, as ReadString finds it.
void IniFile::ReadSectionValues(const std::string& section, std::vector<std::string>& list) const {
  list.clear();
  std::vector<Line> lines = ParseAll(Load(path_));
  std::optional<SectionRange> range = FindSection(lines, section);
  if (!range) {
    return;
  }
  std::unordered_map<std::string, const Line*> first;
  for (size_t i = range->begin; i < range->end; ++i) {
    const Line& line = lines[i];
    if (line.kind == Line::Kind::kKey && line.has_value) {
      first.emplace(AsciiLowerCopy(line.name), &line);
    }
  }
  for (const std::string& name : SectionKeyNames(lines, *range)) {
    const auto found = first.find(AsciiLowerCopy(name));
    list.push_back(name + "=" + (found == first.end() ? "" : ValueFor(found->second->value)));
  }
}

void IniFile::WriteString(const std::string& section,
                          const std::string& key,
                          const std::string& value) {
  std::string os_path = posix::ToOsPath(path_);
  if (char* real = ::realpath(os_path.c_str(), nullptr)) {
    os_path = real;  // write beside the real file, keeping a link a link
    ::free(real);
  }
  Content content;
  if (!ReadContent(os_path, &content)) {
    Refuse(path_);
  }
  // A read-only file stays untouched, even for a user whom the system would
  // let replace it, as the read-only attribute does on Windows.
  if (content.exists && (content.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    Refuse(path_);
  }
  // Nor is a file that this user may not write, though the folder would let
  // him replace it.
  if (content.exists && ::access(os_path.c_str(), W_OK) != 0) {
    Refuse(path_);
  }

  const std::string clean_value = IniValueWithoutLineBreaks(value);
  std::vector<Line> lines = ParseAll(content);
  std::vector<std::string>& raw = content.lines;
  std::optional<SectionRange> range = FindSection(lines, section);
  if (!range) {
    raw.push_back("[" + section + "]");
    raw.push_back(key + "=" + clean_value);
  } else {
    bool replaced = false;
    // A new key goes after the section's last line that is not blank, so
    // that blank lines between sections stay between sections.
    size_t insert_at = range->begin;
    for (size_t i = range->begin; i < range->end; ++i) {
      const Line& line = lines[i];
      if (line.kind != Line::Kind::kBlank) {
        insert_at = i + 1;
      }
      if (line.kind == Line::Kind::kKey && line.has_value &&
          EqualsIgnoringAsciiCase(line.name, key)) {
        raw[i] = line.name + "=" + clean_value;
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      raw.insert(raw.begin() + insert_at, key + "=" + clean_value);
    }
  }
  std::string data;
  for (const std::string& line : raw) {
    data += line;
    data += "\r\n";
  }
  const bool ours = !content.exists || content.owner == ::geteuid();
  if (ours && ReplaceContent(os_path, data, content.exists ? content.mode : DefaultMode())) {
    return;
  }
  if (!content.exists || !RewriteInPlace(os_path, data)) {
    Refuse(path_);
  }
}

}  // namespace qm::platform
