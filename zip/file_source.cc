#include "zip/file_source.h"

namespace qm::zip {

bool FileSource::Open(const std::string& path) {
  if (!file_.Open(path, platform::File::Mode::kRead)) {
    return false;
  }
  int64_t size = file_.Size();
  if (size < 0) {
    file_.Close();
    return false;
  }
  size_ = static_cast<uint64_t>(size);
  position_ = -1;
  return true;
}

int64_t FileSource::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (offset >= size_) {
    return 0;
  }
  // Sequential reads skip the seek.
  if (position_ != static_cast<int64_t>(offset)) {
    if (!file_.Seek(static_cast<int64_t>(offset))) {
      position_ = -1;
      return -1;
    }
    position_ = static_cast<int64_t>(offset);
  }
  size_t done = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  while (done < size) {
    int64_t n = file_.Read(out + done, size - done);
    if (n < 0) {
      position_ = -1;
      return -1;
    }
    if (n == 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  position_ += static_cast<int64_t>(done);
  return static_cast<int64_t>(done);
}

}  // namespace qm::zip
