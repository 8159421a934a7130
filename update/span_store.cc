#include "update/span_store.h"

#include <algorithm>
#include <utility>

namespace qm::update {

SpanStore::SpanStore(std::string path, const std::vector<ByteSpan>& spans)
    : path_(std::move(path)) {
  uint64_t offset = 0;
  for (const ByteSpan& span : spans) {
    slots_.push_back({span, offset, 0});
    offset += span.size();
  }
}

SpanStore::~SpanStore() {
  file_.Close();
  platform::DeleteFile(path_);
}

bool SpanStore::Open() {
  // Read back as well as written: a fresh file opened for both.
  platform::DeleteFile(path_);
  return file_.Open(path_, platform::File::Mode::kReadWrite);
}

int64_t SpanStore::Accept(uint64_t first, const char* data, size_t size) {
  int64_t stored = 0;
  const uint64_t end = first + size;
  for (Slot& slot : slots_) {
    const uint64_t next = slot.span.first + slot.have;
    if (next >= slot.span.end || first > next || end <= next) {
      continue;  // the bytes do not continue this span
    }
    const uint64_t take = std::min(end, slot.span.end) - next;
    if (!file_.Seek(static_cast<int64_t>(slot.file_offset + slot.have)) ||
        !file_.Write(data + (next - first), static_cast<size_t>(take))) {
      return -1;
    }
    slot.have += take;
    stored += static_cast<int64_t>(take);
  }
  return stored;
}

std::vector<ByteSpan> SpanStore::Missing() const {
  std::vector<ByteSpan> missing;
  for (const Slot& slot : slots_) {
    if (slot.have < slot.span.size()) {
      missing.push_back({slot.span.first + slot.have, slot.span.end});
    }
  }
  return missing;
}

uint64_t SpanStore::held() const {
  uint64_t total = 0;
  for (const Slot& slot : slots_) {
    total += slot.have;
  }
  return total;
}

bool SpanStore::Read(uint64_t first, size_t size, std::string* bytes) {
  for (const Slot& slot : slots_) {
    if (first < slot.span.first || first + size > slot.span.first + slot.have) {
      continue;
    }
    bytes->assign(size, '\0');
    if (!file_.Seek(static_cast<int64_t>(slot.file_offset + (first - slot.span.first)))) {
      return false;
    }
    size_t got = 0;
    while (got < size) {
      const int64_t n = file_.Read(bytes->data() + got, size - got);
      if (n <= 0) {
        return false;
      }
      got += static_cast<size_t>(n);
    }
    return true;
  }
  return false;
}

}  // namespace qm::update
