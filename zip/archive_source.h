// Random access to the bytes of an archive: a file through the platform, or
// memory (tests and fuzzers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qm::zip {

class ArchiveSource {
 public:
  virtual ~ArchiveSource() = default;
  virtual uint64_t Size() const = 0;
  // Bytes read at offset (fewer at the end), -1 on a read error.
  virtual int64_t ReadAt(uint64_t offset, void* buffer, size_t size) = 0;

  // true when exactly size bytes came.
  bool ReadExact(uint64_t offset, void* buffer, size_t size) {
    return ReadAt(offset, buffer, size) == static_cast<int64_t>(size);
  }
};

class MemorySource : public ArchiveSource {
 public:
  explicit MemorySource(std::string data) : data_(std::move(data)) {}
  uint64_t Size() const override { return data_.size(); }
  int64_t ReadAt(uint64_t offset, void* buffer, size_t size) override;

 private:
  std::string data_;
};

}  // namespace qm::zip
