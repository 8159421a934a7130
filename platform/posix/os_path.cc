#include "platform/posix/os_path.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "platform/posix/folder_names.h"
#include "platform/text.h"

namespace qm::platform::posix {
namespace {

thread_local FileError last_error = FileError::kNone;

bool Exists(const std::string& os_path) {
  struct stat st;
  return lstat(os_path.empty() ? "." : os_path.c_str(), &st) == 0;
}

}  // namespace

std::string ToOsPath(const std::string& path) {
  std::string utf8 = Cp949ToUtf8(path);
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
    if (folder.empty() || Exists(folder)) {
      std::string found;
      if (!FindEntryIgnoringCase(folder, name, &found)) {
        return utf8;
      }
      return utf8.substr(0, slash == std::string::npos ? 0 : slash + 1) + found;
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
      if (FindEntryIgnoringCase(folder, part, &found)) {
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
  std::string text = Utf8ToCp949(os_path);
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
  return ::stat(os_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
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
