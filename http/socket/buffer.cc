#include <algorithm>
#include <cstring>

#include "http/socket/wsocket.h"

namespace qm::http {

TBuffer::TBuffer(int capacity) : data_(capacity > 0 ? capacity : 1514) {}

int TBuffer::Write(const void* data, int length) {
  int count = std::clamp(BufSize() - wr_count_, 0, std::max(length, 0));
  if (count > 0) {
    std::memcpy(data_.data() + wr_count_, data, static_cast<size_t>(count));
  }
  wr_count_ += count;
  return count;
}

int TBuffer::Peek(const char** data) const {
  *data = data_.data() + rd_count_;
  return wr_count_ - rd_count_;
}

void TBuffer::Remove(int count) {
  rd_count_ += std::clamp(count, 0, wr_count_ - rd_count_);
  if (rd_count_ == wr_count_) {
    rd_count_ = 0;
    wr_count_ = 0;
  }
}

void TBuffer::SetBufSize(int capacity) {
  data_.resize(static_cast<size_t>(std::max({capacity, wr_count_, 1})));
}

}  // namespace qm::http
