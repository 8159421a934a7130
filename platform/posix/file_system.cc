#include "platform/file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "platform/posix/command_line.h"
#include "platform/posix/local_time.h"
#include "platform/posix/os_path.h"
#include "platform/text.h"

namespace qm::platform {
namespace {

using posix::FailWithErrno;
using posix::ToOsPath;

bool Succeed() {
  posix::SetLastFileError(FileError::kNone);
  return true;
}

bool Fail(FileError error) {
  posix::SetLastFileError(error);
  return false;
}

bool StatPath(const std::string& path, struct stat* st) {
  return ::stat(ToOsPath(path).c_str(), st) == 0;
}

// Copies a file byte for byte, for a move across file systems.
bool CopyContents(const std::string& from, const std::string& to, mode_t mode) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    return FailWithErrno();
  }
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
  if (out < 0) {
    int saved = errno;
    ::close(in);
    errno = saved;
    return FailWithErrno();
  }
  char buffer[65536];
  bool ok = true;
  while (ok) {
    ssize_t n = ::read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      ok = n == 0 || FailWithErrno();
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = ::write(out, buffer + done, n - done);
      if (w < 0 && errno == EINTR) {
        continue;
      }
      if (w < 0) {
        ok = FailWithErrno();
      } else {
        done += w;
      }
    }
  }
  if (ok && ::fsync(out) != 0) {
    ok = FailWithErrno();
  }
  ::close(in);
  if (::close(out) != 0 && ok) {
    ok = FailWithErrno();
  }
  if (!ok) {
    ::unlink(to.c_str());
  }
  return ok;
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat st;
  return StatPath(path, &st) && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return StatPath(path, &st) && S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
  std::string os_path = ToOsPath(path);
  if (::mkdir(os_path.c_str(), 0777) == 0) {
    return Succeed();
  }
  int saved = errno;
  struct stat st;
  if (saved == EEXIST && ::stat(os_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Succeed();
  }
  errno = saved;
  return FailWithErrno();
}

bool CreateDirectories(const std::string& path) {
  // Each prefix ending before a separator, then the whole path.
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\' && path[i] != '/') {
      continue;
    }
    std::string prefix = path.substr(0, i);
    if (prefix.empty() || prefix.back() == '\\' || prefix.back() == '/') {
      continue;
    }
    if (!DirectoryExists(prefix) && !CreateDirectory(prefix)) {
      return false;
    }
  }
  return Succeed();
}

bool DeleteFile(const std::string& path) {
  std::string os_path = ToOsPath(path);
  struct stat st;
  if (::lstat(os_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return Fail(FileError::kAccessDenied);
  }
  if (posix::IsReadOnlyFile(os_path)) {
    return Fail(FileError::kAccessDenied);
  }
  if (::unlink(os_path.c_str()) != 0) {
    return FailWithErrno();
  }
  return Succeed();
}

bool RemoveDirectory(const std::string& path) {
  if (::rmdir(ToOsPath(path).c_str()) != 0) {
    return FailWithErrno();
  }
  return Succeed();
}

bool FlushToDisk(const std::vector<std::string>& files) {
  // syncfs writes out a whole file system, so one call per device covers
  // every file on it; the files of one folder share its device.
  std::unordered_set<std::string> folders_seen;
  std::vector<dev_t> synced;
  for (const std::string& file : files) {
    const std::string folder = file.substr(0, file.find_last_of("\\/") + 1);
    if (folders_seen.count(folder)) {
      continue;
    }
    const std::string os_path = ToOsPath(file);
    struct stat st;
    if (::stat(os_path.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        continue;  // moved or deleted since: nothing of it to lose
      }
      return FailWithErrno();
    }
    folders_seen.insert(folder);
    if (std::find(synced.begin(), synced.end(), st.st_dev) != synced.end()) {
      continue;
    }
    int fd = ::open(os_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return FailWithErrno();
    }
    const bool ok = ::syncfs(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok) {
      errno = saved;
      return FailWithErrno();
    }
    synced.push_back(st.st_dev);
  }
  return Succeed();
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  std::string os_from = ToOsPath(from);
  std::string os_to = ToOsPath(to);
  struct stat st;
  if (::lstat(os_from.c_str(), &st) != 0) {
    return FailWithErrno();
  }
  if (S_ISDIR(st.st_mode)) {
    return Fail(FileError::kAccessDenied);
  }
  // A folder, or a file without write bits (read-only as on Windows), stays.
  struct stat target;
  const bool replacing = ::stat(os_to.c_str(), &target) == 0;
  if (replacing && (S_ISDIR(target.st_mode) || posix::IsReadOnlyStat(target))) {
    return Fail(FileError::kAccessDenied);
  }
  // A replaced program stays runnable (an update of the launcher itself):
  // the new file takes over the execute bits, which Windows does not need.
  const mode_t execute = replacing ? (target.st_mode & 0111) : 0;
  if ((execute & ~st.st_mode) != 0 &&
      ::chmod(os_from.c_str(), (st.st_mode | execute) & 07777) == 0) {
    st.st_mode |= execute;
  }
  // rename(2) swaps the name atomically; a running program keeps its old
  // file, so nothing has to be renamed aside on POSIX.
  if (::rename(os_from.c_str(), os_to.c_str()) == 0) {
    return Succeed();
  }
  if (errno != EXDEV) {
    return FailWithErrno();
  }
  // Another file system: copy beside the target, then rename over it, so the
  // target is never half written.
  std::string temp = os_to + ".qmcopy-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    return FailWithErrno();
  }
  ::close(fd);
  ::unlink(temp.c_str());
  if (!CopyContents(os_from, temp, st.st_mode)) {
    return false;
  }
  if (::rename(temp.c_str(), os_to.c_str()) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return FailWithErrno();
  }
  ::unlink(os_from.c_str());
  return Succeed();
}

void RemoveLeftovers(const std::string& folder) {
  // ReplaceFile never renames aside on POSIX, but a process killed while it
  // wrote a settings file or copied across file systems leaves the
  // temporary file of that write.
  const std::string os_folder = ToOsPath(folder);
  DIR* dir = ::opendir(os_folder.c_str());
  if (!dir) {
    return;
  }
  while (dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.find(".qmtmp-") != std::string_view::npos ||
        name.find(".qmcopy-") != std::string_view::npos) {
      ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
  }
  ::closedir(dir);
}

bool FreeDiskSpace(const std::string& folder, uint64_t* bytes) {
  struct statvfs st;
  if (::statvfs(ToOsPath(folder).c_str(), &st) != 0) {
    return FailWithErrno();
  }
  // f_bavail leaves out the blocks kept for root.
  *bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
  return Succeed();
}

bool GetFileAttributes(const std::string& path, uint32_t* attributes) {
  struct stat st;
  if (!StatPath(path, &st)) {
    return FailWithErrno();
  }
  uint32_t result = 0;
  if (S_ISDIR(st.st_mode)) {
    result |= kAttrDirectory;
  }
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    result |= kAttrReadOnly;
  }
  *attributes = result;
  return Succeed();
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
  std::string os_path = ToOsPath(path);
  struct stat st;
  if (::stat(os_path.c_str(), &st) != 0) {
    return FailWithErrno();
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else if ((mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    mode |= S_IWUSR;  // the owner may write again
  }
  // Archives made on Unix carry the file's mode in the upper half; its
  // execute bits let an installed program run here, for whoever may read it.
  const uint32_t unix_mode = attributes >> 16;
  if ((unix_mode & S_IFMT) == S_IFREG && S_ISREG(st.st_mode)) {
    mode |= unix_mode & (mode >> 2) & (S_IXUSR | S_IXGRP | S_IXOTH);
  }
  if (mode != (st.st_mode & 07777) && ::chmod(os_path.c_str(), mode) != 0) {
    return FailWithErrno();
  }
  return Succeed();
}

bool SetFileTime(const std::string& path, const LocalDateTime& time) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = posix::LocalToEpoch(time);
  times[1].tv_nsec = 0;
  if (::utimensat(AT_FDCWD, ToOsPath(path).c_str(), times, 0) != 0) {
    return FailWithErrno();
  }
  return Succeed();
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(ToOsPath(path).c_str());
  if (!dir) {
    FailWithErrno();
    return names;
  }
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    names.push_back(posix::FromOsPath(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  Succeed();
  return names;
}

std::string CreateTempFile(const std::string& folder, const std::string& prefix) {
  std::string path;
  const int fd = posix::CreateTempFd(folder, prefix, &path);
  if (fd < 0) {
    return std::string();
  }
  ::close(fd);
  return path;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n > 0) {
    return posix::FromOsPath(std::string(buffer, n));
  }
  // Without /proc: the recorded program name, made absolute.
  const std::string& argv0 = posix::ProgramName();
  if (char* real = ::realpath(argv0.c_str(), nullptr)) {
    std::string result = posix::FromOsPath(real);
    ::free(real);
    return result;
  }
  return posix::FromOsPath(argv0);
}

}  // namespace qm::platform
