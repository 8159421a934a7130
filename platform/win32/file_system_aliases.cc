// Win32 code that includes <windows.h> before platform/file_system.h sees
// five of its names renamed by the system's W macros (DeleteFile becomes
// DeleteFileW, ...). These definitions carry the renamed names and forward.
#include "platform/file_system.h"

#include "platform/win32/windows_no_file_macros.h"

namespace qm::platform {

#define QM_FORWARD(renamed, real, params, args) \
  bool renamed params;                          \
  bool renamed params {                         \
    return real args;                           \
  }

QM_FORWARD(CreateDirectoryW, CreateDirectory, (const std::string& p), (p))
QM_FORWARD(DeleteFileW, DeleteFile, (const std::string& p), (p))
QM_FORWARD(RemoveDirectoryW, RemoveDirectory, (const std::string& p), (p))
QM_FORWARD(GetFileAttributesW, GetFileAttributes, (const std::string& p, uint32_t* a), (p, a))
QM_FORWARD(SetFileAttributesW, SetFileAttributes, (const std::string& p, uint32_t a), (p, a))
QM_FORWARD(ReplaceFileW, ReplaceFile, (const std::string& f, const std::string& t), (f, t))

#undef QM_FORWARD

}  // namespace qm::platform
