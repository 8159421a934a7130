// <windows.h> without the W macros that would rename six functions of
// platform/file_system.h (DeleteFile becomes DeleteFileW, ...): for code
// that calls both. The Windows functions are then called by their W names.
#pragma once

#include <windows.h>

#undef CreateDirectory
#undef DeleteFile
#undef RemoveDirectory
#undef GetFileAttributes
#undef SetFileAttributes
#undef ReplaceFile
