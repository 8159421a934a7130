#include "zip/archive_source.h"

#include <algorithm>
#include <cstring>

namespace qm::zip {

int64_t MemorySource::ReadAt(uint64_t offset, void* buffer, size_t size) {
  if (offset >= data_.size()) {
    return 0;
  }
  size_t n = std::min<uint64_t>(size, data_.size() - offset);
  std::memcpy(buffer, data_.data() + offset, n);
  return static_cast<int64_t>(n);
}

}  // namespace qm::zip
