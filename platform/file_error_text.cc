#include "platform/file_system.h"

namespace qm::platform {

std::string FileErrorText(FileError error) {
  switch (error) {
    case FileError::kNone:
      return "No error";
    case FileError::kNotFound:
      return "File or folder not found";
    case FileError::kAccessDenied:
      return "Access denied";
    case FileError::kInUse:
      return "The file is in use by another program";
    case FileError::kDiskFull:
      return "The disk is full";
    case FileError::kExists:
      return "The file already exists";
    case FileError::kOther:
      break;
  }
  return "File operation failed";
}

}  // namespace qm::platform
