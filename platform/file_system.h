// Files and folders. Paths are code page 949 byte strings with "\" separators,
// as the rest of the system writes them; each backend converts at the OS
// boundary. Names ignore letter case on both backends (POSIX resolves each
// component case-insensitively against what exists).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qm::platform {

enum class FileError {
  kNone,
  kNotFound,
  kAccessDenied,  // read-only file or folder, permissions
  kInUse,         // sharing violation: open in another program
  kDiskFull,
  kExists,
  kOther,
};

// Local date and time, as zip entries and the clock use it.
struct LocalDateTime {
  int year = 1980;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// DOS attribute bits, as zip entries carry them.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;

// An open file (RAII). Operations return false or -1 on failure; error()
// then tells why.
class File {
 public:
  enum class Mode {
    kRead,       // existing file, read only; others may read and write
    kCreate,     // create or truncate, write only
    kReadWrite,  // create if missing, keep content
  };

  File();
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool Open(const std::string& path, Mode mode);
  // Creates a new, empty file in folder whose name starts with prefix and
  // opens it for writing; *path receives its path.
  bool CreateTemp(const std::string& folder, const std::string& prefix, std::string* path);
  void Close();
  bool is_open() const;

  int64_t Read(void* buffer, size_t size);    // bytes read, 0 at the end, -1 on error
  bool Write(const void* data, size_t size);  // all or nothing
  bool Seek(int64_t offset);                  // absolute position
  int64_t Tell() const;
  int64_t Size() const;
  bool Flush();  // to the disk, before a rename makes the file live
  bool SetLastWriteTime(const LocalDateTime& time);

  FileError error() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

bool FileExists(const std::string& path);  // a file, not a folder
bool DirectoryExists(const std::string& path);
bool CreateDirectory(const std::string& path);  // one level; true if it exists afterwards
bool CreateDirectories(const std::string& path);
bool DeleteFile(const std::string& path);
bool RemoveDirectory(const std::string& path);  // empty folders only
// Moves a file over another, replacing it. When the target is in use (on
// Windows a running executable), the old file is first renamed aside to a
// name that RemoveLeftovers later clears.
bool ReplaceFile(const std::string& from, const std::string& to);
// Removes files that an earlier ReplaceFile renamed aside in this folder.
void RemoveLeftovers(const std::string& folder);
// Makes the written data of these files durable; files that are gone are
// skipped. One call for many files lets the system write them in one pass,
// far cheaper than a flush per file.
bool FlushToDisk(const std::vector<std::string>& files);
// Bytes that this user may still write on the disk that holds folder (an
// existing folder); false when the system cannot tell.
bool FreeDiskSpace(const std::string& folder, uint64_t* bytes);
bool GetFileAttributes(const std::string& path, uint32_t* attributes);
bool SetFileAttributes(const std::string& path, uint32_t attributes);
bool SetFileTime(const std::string& path, const LocalDateTime& time);
// Names (not paths) of the entries of a folder, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& path);
// A new, empty file in folder whose name starts with prefix; its path.
std::string CreateTempFile(const std::string& folder, const std::string& prefix);
// Full path of the running executable.
std::string ExecutablePath();

// The error of the last failing call of this thread, and a readable text.
FileError LastFileError();
std::string FileErrorText(FileError error);

}  // namespace qm::platform
