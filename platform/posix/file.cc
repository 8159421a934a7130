#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "platform/posix/local_time.h"
#include "platform/posix/os_path.h"

namespace qm::platform {

struct File::Impl {
  int fd = -1;
  FileError error = FileError::kNone;

  bool Fail() {
    error = posix::FileErrorFromErrno(errno);
    posix::SetLastFileError(error);
    return false;
  }
};

File::File() : impl_(std::make_unique<Impl>()) {}

File::~File() {
  Close();
}

File::File(File&& other) noexcept : impl_(std::move(other.impl_)) {
  other.impl_ = std::make_unique<Impl>();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    std::swap(impl_, other.impl_);
  }
  return *this;
}

bool File::CreateTemp(const std::string& folder, const std::string& prefix, std::string* path) {
  Close();
  const int fd = posix::CreateTempFd(folder, prefix, path);
  if (fd < 0) {
    return impl_->Fail();
  }
  impl_->fd = fd;
  impl_->error = FileError::kNone;
  return true;
}

bool File::Open(const std::string& path, Mode mode) {
  Close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::kRead:
      flags |= O_RDONLY;
      break;
    case Mode::kCreate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case Mode::kReadWrite:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  const std::string os_path = posix::ToOsPath(path);
  if (mode != Mode::kRead && posix::IsReadOnlyFile(os_path)) {
    errno = EACCES;
    return impl_->Fail();
  }
  int fd = ::open(os_path.c_str(), flags, 0666);
  if (fd < 0) {
    return impl_->Fail();
  }
  // Opening a folder for writing fails by itself; for reading it succeeds.
  struct stat st;
  if (mode == Mode::kRead && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    // A folder cannot be opened as a file, as on Windows.
    ::close(fd);
    errno = EISDIR;
    return impl_->Fail();
  }
  impl_->fd = fd;
  impl_->error = FileError::kNone;
  return true;
}

void File::Close() {
  if (impl_ && impl_->fd >= 0) {
    ::close(impl_->fd);
    impl_->fd = -1;
  }
}

bool File::is_open() const {
  return impl_->fd >= 0;
}

int64_t File::Read(void* buffer, size_t size) {
  while (true) {
    ssize_t n = ::read(impl_->fd, buffer, size);
    if (n >= 0) {
      return n;
    }
    if (errno != EINTR) {
      impl_->Fail();
      return -1;
    }
  }
}

bool File::Write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(impl_->fd, p, size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return impl_->Fail();
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool File::Seek(int64_t offset) {
  if (::lseek(impl_->fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return impl_->Fail();
  }
  return true;
}

int64_t File::Tell() const {
  off_t pos = ::lseek(impl_->fd, 0, SEEK_CUR);
  if (pos < 0) {
    impl_->Fail();
    return -1;
  }
  return pos;
}

int64_t File::Size() const {
  struct stat st;
  if (fstat(impl_->fd, &st) != 0) {
    impl_->Fail();
    return -1;
  }
  return st.st_size;
}

bool File::Flush() {
  if (::fsync(impl_->fd) != 0) {
    return impl_->Fail();
  }
  return true;
}

bool File::SetLastWriteTime(const LocalDateTime& time) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = posix::LocalToEpoch(time);
  times[1].tv_nsec = 0;
  if (futimens(impl_->fd, times) != 0) {
    return impl_->Fail();
  }
  return true;
}

FileError File::error() const {
  return impl_->error;
}

}  // namespace qm::platform
