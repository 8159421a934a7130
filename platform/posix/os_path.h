// Conversion between the system's paths (code page 949 with escapes for
// what it lacks, "\" separators, letter case ignored) and the operating
// system's (UTF-8, "/", exact names).
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/file_system.h"

namespace qm::platform::posix {

// Converts path and resolves each component that does not exist as written
// against the entries of its folder, ignoring ASCII letter case. Components
// past the first missing one are kept as written (for files about to be
// created).
std::string ToOsPath(const std::string& path);
// A path the operating system gives ("/", UTF-8 or any bytes) in the
// system's form.
std::string FromOsPath(const std::string& os_path);

FileError FileErrorFromErrno(int error);

// An existing file without any write bit: what Windows calls read-only. Such
// a file is neither written, replaced nor deleted, even by root, so that both
// backends refuse the same operations.
bool IsReadOnlyFile(const std::string& os_path);
// The same test on what stat gave, for callers that have it already.
bool IsReadOnlyStat(const struct stat& st);
// Creates a new, empty file in folder (a system path) whose name starts with
// prefix, open for writing; its descriptor, or -1 with errno set. *path
// receives its system path.
int CreateTempFd(const std::string& folder, const std::string& prefix, std::string* path);
// Records the error that LastFileError reports on this thread.
void SetLastFileError(FileError error);
// Records errno's error and returns false, for "return Fail();".
bool FailWithErrno();

}  // namespace qm::platform::posix
