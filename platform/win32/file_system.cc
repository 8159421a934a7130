#include "platform/file_system.h"

#include <algorithm>
#include <utility>

#include "platform/win32/win_text.h"
#include "platform/win32/windows_no_file_macros.h"

namespace qm::platform {

using win32::PathToWide;

namespace {

// Files renamed aside by ReplaceFile end in this, followed by a number.
constexpr wchar_t kLeftoverMark[] = L".qmold-";

thread_local FileError g_last_error = FileError::kNone;

FileError MapError(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return FileError::kNone;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return FileError::kNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return FileError::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
      return FileError::kInUse;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return FileError::kDiskFull;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileError::kExists;
    default:
      return FileError::kOther;
  }
}

// Records the thread's last error from GetLastError and returns false.
bool Fail() {
  g_last_error = MapError(GetLastError());
  return false;
}

bool Succeed() {
  g_last_error = FileError::kNone;
  return true;
}

bool ToFileTime(const LocalDateTime& time, FILETIME* utc) {
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(time.year);
  st.wMonth = static_cast<WORD>(time.month);
  st.wDay = static_cast<WORD>(time.day);
  st.wHour = static_cast<WORD>(time.hour);
  st.wMinute = static_cast<WORD>(time.minute);
  st.wSecond = static_cast<WORD>(time.second);
  FILETIME local;
  if (!SystemTimeToFileTime(&st, &local)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return LocalFileTimeToFileTime(&local, utc) != 0;
}

DWORD Attributes(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str());
}

}  // namespace

struct File::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  FileError error = FileError::kNone;

  bool Fail() {
    platform::Fail();
    error = g_last_error;
    return false;
  }
};

File::File() : impl_(std::make_unique<Impl>()) {}

File::~File() {
  Close();
}

// A moved-from file stays usable (closed), never without its Impl.
File::File(File&& other) noexcept : impl_(std::make_unique<Impl>()) {
  std::swap(impl_, other.impl_);
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    std::swap(impl_, other.impl_);
  }
  return *this;
}

bool File::Open(const std::string& path, Mode mode) {
  Close();
  DWORD access = 0;
  // Readers never lock anyone out, the updater itself included.
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD disposition = 0;
  switch (mode) {
    case Mode::kRead:
      access = GENERIC_READ;
      disposition = OPEN_EXISTING;
      break;
    case Mode::kCreate:
      access = GENERIC_WRITE;
      share = FILE_SHARE_READ;
      disposition = CREATE_ALWAYS;
      break;
    case Mode::kReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      share = FILE_SHARE_READ;
      disposition = OPEN_ALWAYS;
      break;
  }
  impl_->handle = ::CreateFileW(PathToWide(path).c_str(), access, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (impl_->handle == INVALID_HANDLE_VALUE) {
    return impl_->Fail();
  }
  impl_->error = FileError::kNone;
  return Succeed();
}

void File::Close() {
  if (impl_->handle != INVALID_HANDLE_VALUE) {
    CloseHandle(impl_->handle);
    impl_->handle = INVALID_HANDLE_VALUE;
  }
}

bool File::is_open() const {
  return impl_->handle != INVALID_HANDLE_VALUE;
}

int64_t File::Read(void* buffer, size_t size) {
  if (!is_open()) {
    SetLastError(ERROR_INVALID_HANDLE);
    impl_->Fail();
    return -1;
  }
  DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 0x40000000));
  DWORD read = 0;
  if (!ReadFile(impl_->handle, buffer, chunk, &read, nullptr)) {
    impl_->Fail();
    return -1;
  }
  return read;
}

bool File::Write(const void* data, size_t size) {
  if (!is_open()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return impl_->Fail();
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 0x40000000));
    DWORD written = 0;
    if (!WriteFile(impl_->handle, p, chunk, &written, nullptr)) {
      return impl_->Fail();
    }
    if (written == 0) {
      SetLastError(ERROR_DISK_FULL);
      return impl_->Fail();
    }
    p += written;
    size -= written;
  }
  return true;
}

bool File::Seek(int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  if (!is_open() || offset < 0) {
    SetLastError(is_open() ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_HANDLE);
    return impl_->Fail();
  }
  if (!SetFilePointerEx(impl_->handle, to, nullptr, FILE_BEGIN)) {
    return impl_->Fail();
  }
  return true;
}

int64_t File::Tell() const {
  LARGE_INTEGER zero = {};
  LARGE_INTEGER position = {};
  if (!is_open() || !SetFilePointerEx(impl_->handle, zero, &position, FILE_CURRENT)) {
    return -1;
  }
  return position.QuadPart;
}

int64_t File::Size() const {
  LARGE_INTEGER size = {};
  if (!is_open() || !GetFileSizeEx(impl_->handle, &size)) {
    return -1;
  }
  return size.QuadPart;
}

bool File::CreateTemp(const std::string& folder, const std::string& prefix, std::string* path) {
  *path = CreateTempFile(folder, prefix);
  return !path->empty() && Open(*path, Mode::kCreate);
}

bool File::Flush() {
  if (!is_open() || !FlushFileBuffers(impl_->handle)) {
    return impl_->Fail();
  }
  return true;
}

bool File::SetLastWriteTime(const LocalDateTime& time) {
  FILETIME utc;
  if (!is_open() || !ToFileTime(time, &utc) ||
      !::SetFileTime(impl_->handle, nullptr, nullptr, &utc)) {
    return impl_->Fail();
  }
  return true;
}

FileError File::error() const {
  return impl_->error;
}

bool FileExists(const std::string& path) {
  DWORD attributes = Attributes(PathToWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
  DWORD attributes = Attributes(PathToWide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectory(const std::string& path) {
  if (::CreateDirectoryW(PathToWide(path).c_str(), nullptr)) {
    return Succeed();
  }
  DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS && DirectoryExists(path)) {
    return Succeed();
  }
  SetLastError(code);
  return Fail();
}

bool CreateDirectories(const std::string& path) {
  std::string current;
  size_t start = 0;
  // Keep a drive ("C:") or a UNC prefix ("\\server\share") as it is.
  if (path.size() >= 2 && path[1] == ':') {
    start = 2;
  } else if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
             (path[1] == '\\' || path[1] == '/')) {
    size_t server_end = path.find_first_of("\\/", 2);
    size_t share_end = server_end == std::string::npos ? std::string::npos
                                                       : path.find_first_of("\\/", server_end + 1);
    start = share_end == std::string::npos ? path.size() : share_end;
  }
  current = path.substr(0, start);
  size_t pos = start;
  bool any = false;
  while (pos < path.size()) {
    size_t next = path.find_first_of("\\/", pos);
    if (next == std::string::npos) {
      next = path.size();
    }
    current = path.substr(0, next);
    if (next > pos) {
      any = true;
      if (!DirectoryExists(current) && !CreateDirectory(current)) {
        return false;
      }
    }
    pos = next + 1;
  }
  if (!any) {
    return DirectoryExists(path) ? Succeed() : (SetLastError(ERROR_PATH_NOT_FOUND), Fail());
  }
  return Succeed();
}

bool DeleteFile(const std::string& path) {
  return ::DeleteFileW(PathToWide(path).c_str()) ? Succeed() : Fail();
}

bool RemoveDirectory(const std::string& path) {
  return ::RemoveDirectoryW(PathToWide(path).c_str()) ? Succeed() : Fail();
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  std::wstring source = PathToWide(from);
  std::wstring target = PathToWide(to);
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;
  if (::MoveFileExW(source.c_str(), target.c_str(), flags)) {
    return Succeed();
  }
  DWORD code = GetLastError();
  // Only a file in use is moved aside; a folder in the way stays where it is.
  const DWORD existing = Attributes(target);
  if ((code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION) ||
      existing == INVALID_FILE_ATTRIBUTES || (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(code);
    return Fail();
  }
  // A running executable cannot be replaced but can be renamed: move it
  // aside under a name RemoveLeftovers recognises, then move the new file in.
  for (int n = 1; n < 1000; ++n) {
    std::wstring aside = target + kLeftoverMark + std::to_wstring(n);
    if (!::MoveFileExW(target.c_str(), aside.c_str(), 0)) {
      DWORD rename_code = GetLastError();
      if (rename_code == ERROR_ALREADY_EXISTS || rename_code == ERROR_FILE_EXISTS) {
        continue;
      }
      SetLastError(rename_code);
      return Fail();
    }
    if (::MoveFileExW(source.c_str(), target.c_str(), flags)) {
      ::DeleteFileW(aside.c_str());  // usually still in use; RemoveLeftovers retries
      return Succeed();
    }
    DWORD move_code = GetLastError();
    ::MoveFileExW(aside.c_str(), target.c_str(), 0);  // put the old file back
    SetLastError(move_code);
    return Fail();
  }
  SetLastError(code);
  return Fail();
}

bool FlushToDisk(const std::vector<std::string>& files) {
  // Windows has no flush of a whole volume for users; the lazy writer has
  // usually written most of the data by now, so each flush is short.
  for (const std::string& file : files) {
    HANDLE handle = ::CreateFileW(PathToWide(file).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        continue;  // moved or deleted since: nothing of it to lose
      }
      return Fail();
    }
    const bool ok = ::FlushFileBuffers(handle) != 0;
    const DWORD code = GetLastError();
    ::CloseHandle(handle);
    if (!ok) {
      SetLastError(code);
      return Fail();
    }
  }
  return Succeed();
}

void RemoveLeftovers(const std::string& folder) {
  std::wstring dir = PathToWide(folder);
  if (!dir.empty() && dir.back() != L'\\') {
    dir += L'\\';
  }
  std::wstring pattern = dir + L"*" + kLeftoverMark + L"*";
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    return;
  }
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      std::wstring path = dir + data.cFileName;
      // A leftover that is still running stays until a later start.
      ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileW(path.c_str());
    }
  } while (::FindNextFileW(find, &data));
  FindClose(find);
}

bool FreeDiskSpace(const std::string& folder, uint64_t* bytes) {
  std::wstring dir = PathToWide(folder);
  if (!dir.empty() && dir.back() != L'\\') {
    dir += L'\\';  // a share's root needs it
  }
  ULARGE_INTEGER available;
  // What this user may write, after quotas.
  if (!::GetDiskFreeSpaceExW(dir.c_str(), &available, nullptr, nullptr)) {
    return Fail();
  }
  *bytes = available.QuadPart;
  return Succeed();
}

bool GetFileAttributes(const std::string& path, uint32_t* attributes) {
  DWORD value = Attributes(PathToWide(path));
  if (value == INVALID_FILE_ATTRIBUTES) {
    return Fail();
  }
  *attributes = value & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrDirectory | kAttrArchive);
  return Succeed();
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
  DWORD value = attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive);
  if (value == 0) {
    value = FILE_ATTRIBUTE_NORMAL;
  }
  return ::SetFileAttributesW(PathToWide(path).c_str(), value) ? Succeed() : Fail();
}

bool SetFileTime(const std::string& path, const LocalDateTime& time) {
  FILETIME utc;
  if (!ToFileTime(time, &utc)) {
    return Fail();
  }
  HANDLE handle = ::CreateFileW(PathToWide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return Fail();
  }
  bool ok = ::SetFileTime(handle, nullptr, nullptr, &utc) != 0;
  DWORD code = GetLastError();
  CloseHandle(handle);
  SetLastError(code);
  return ok ? Succeed() : Fail();
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::wstring pattern = PathToWide(path);
  if (!pattern.empty() && pattern.back() != L'\\') {
    pattern += L'\\';
  }
  pattern += L'*';
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    Fail();
    return names;
  }
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") {
      names.push_back(win32::SystemToBytes(name));
    }
  } while (::FindNextFileW(find, &data));
  FindClose(find);
  Succeed();
  return names;
}

std::string CreateTempFile(const std::string& folder, const std::string& prefix) {
  std::string base = folder;
  if (!base.empty() && base.back() != '\\' && base.back() != '/') {
    base += '\\';
  }
  base += prefix;
  static unsigned counter = 0;
  unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char suffix[16];
    unsigned value = (seed + ++counter * 2654435761u) & 0xFFFFFF;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 6; ++i) {
      suffix[i] = kHex[(value >> (20 - 4 * i)) & 0xF];
    }
    suffix[6] = '\0';
    std::string path = base + suffix + ".tmp";
    HANDLE handle = ::CreateFileW(PathToWide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      Succeed();
      return path;
    }
    DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      Fail();
      return {};
    }
  }
  Fail();
  return {};
}

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length < buffer.size()) {
      buffer.resize(length);
      return win32::SystemToBytes(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
}

FileError LastFileError() {
  return g_last_error;
}

}  // namespace qm::platform
