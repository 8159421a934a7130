#include "platform/posix/os_path.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/posix/folder_names.h"
#include "platform/posix/os_name.h"

namespace qm::platform::posix {
namespace {

thread_local FileError last_error = FileError::kNone;

bool Exists(const std::string& os_path) {
  struct stat st;
  return lstat(os_path.empty() ? "." : os_path.c_str(), &st) == 0;
}

}  // namespace

std::string ToOsPath(const std::string& path) {
  std::string utf8 = NameToOs(path);
  std::replace(utf8.begin(), utf8.end(), '\\', '/');
  // Most paths exist as written: one lstat instead of one per component.
  if (utf8.empty() || Exists(utf8)) {
    return utf8;
  }
  // Next most often, a new file in a folder that exists as written: only the
  // last name needs looking up.
  const size_t slash = utf8.find_last_of('/');
  const std::string name = slash == std::string::npos ? utf8 : utf8.substr(slash + 1);
  if (!name.empty() && name != "." && name != "..") {
    const std::string folder = slash == std::string::npos ? "" : utf8.substr(0, slash ? slash : 1);
    std::string found;
    switch (FindEntryIgnoringCase(folder, name, &found)) {
      case EntryLookup::kFound:
        return utf8.substr(0, slash == std::string::npos ? 0 : slash + 1) + found;
      case EntryLookup::kMissing:
        return utf8;
      case EntryLookup::kNoFolder:
        break;  // the folder itself needs resolving
    }
  }

  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= utf8.size()) {
    size_t end = utf8.find('/', start);
    if (end == std::string::npos) {
      end = utf8.size();
    }
    parts.push_back(utf8.substr(start, end - start));
    start = end + 1;
  }

  const bool absolute = utf8[0] == '/';
  std::string result = absolute ? "/" : "";
  bool resolving = true;
  bool first = true;
  for (size_t i = absolute ? 1 : 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    const bool last = i + 1 == parts.size();
    if (part.empty()) {
      if (last && !first) {
        result += '/';  // keep a trailing separator
      }
      continue;
    }
    const std::string folder = result;
    const std::string join = folder.empty() || folder.back() == '/' ? "" : "/";
    std::string candidate = folder;
    candidate += join;
    candidate += part;
    if (resolving && part != "." && part != ".." && !Exists(candidate)) {
      std::string found;
      if (FindEntryIgnoringCase(folder, part, &found) == EntryLookup::kFound) {
        candidate = folder;
        candidate += join;
        candidate += found;
      } else {
        resolving = false;
      }
    }
    result = candidate;
    first = false;
  }
  return result;
}

std::string FromOsPath(const std::string& os_path) {
  std::string text = NameFromOs(os_path);
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

FileError FileErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return FileError::kNone;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      return FileError::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return FileError::kAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return FileError::kDiskFull;
    case ETXTBSY:
    case EBUSY:
      return FileError::kInUse;
    case EEXIST:
    case ENOTEMPTY:
      return FileError::kExists;
    default:
      return FileError::kOther;
  }
}

bool IsReadOnlyFile(const std::string& os_path) {
  struct stat st;
  return ::stat(os_path.c_str(), &st) == 0 && IsReadOnlyStat(st);
}

bool IsReadOnlyStat(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

int CreateTempFd(const std::string& folder, const std::string& prefix, std::string* path) {
  std::string pattern = ToOsPath(folder);
  if (!pattern.empty() && pattern.back() != '/') {
    pattern += '/';
  }
  pattern += NameToOs(prefix);
  // Not mkstemp: its files are 0600, and an installed file should get the
  // permissions any new file gets (0666 less the umask).
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 random(std::random_device{}());
  std::string suffix(6, ' ');
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (char& c : suffix) {
      c = kLetters[random() % (sizeof(kLetters) - 1)];
    }
    const int fd =
        ::open((pattern + suffix).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      *path = folder;
      if (!path->empty() && path->back() != '\\' && path->back() != '/') {
        *path += '\\';
      }
      *path += prefix + suffix;
      SetLastFileError(FileError::kNone);
      return fd;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  FailWithErrno();
  return -1;
}

void SetLastFileError(FileError error) {
  last_error = error;
}

bool FailWithErrno() {
  last_error = FileErrorFromErrno(errno);
  return false;
}

}  // namespace qm::platform::posix

namespace qm::platform {

FileError LastFileError() {
  return posix::last_error;
}

}  // namespace qm::platform
