// An archive read through the platform's file interface.
#pragma once

#include <string>

#include "platform/file_system.h"
#include "zip/archive_source.h"

namespace qm::zip {

class FileSource : public ArchiveSource {
 public:
  bool Open(const std::string& path);
  void Close() { file_.Close(); }
  uint64_t Size() const override { return size_; }
  int64_t ReadAt(uint64_t offset, void* buffer, size_t size) override;

 private:
  platform::File file_;
  uint64_t size_ = 0;
  int64_t position_ = -1;  // where the handle stands; -1 unknown
};

}  // namespace qm::zip
