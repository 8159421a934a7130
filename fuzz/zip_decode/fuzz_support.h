#ifndef QM_FUZZ_ZIP_DECODE_FUZZ_SUPPORT_H_
#define QM_FUZZ_ZIP_DECODE_FUZZ_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zip/decode/decoder.h"

namespace qm::zip::fuzz {

// Serves the input in reads of a fixed size.
class Source : public InputSource {
 public:
  Source(const uint8_t* data, size_t size, size_t step) : data_(data), size_(size), step_(step) {}
  int64_t Read(uint8_t* buffer, size_t size) override {
    size_t n = std::min({size, step_, size_ - pos_});
    if (n)
      std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<int64_t>(n);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t step_;
  size_t pos_ = 0;
};

// Keeps the output, stops after a bound so that the run stays short.
class Sink : public OutputSink {
 public:
  explicit Sink(size_t limit) : limit_(limit) {}
  bool Write(const uint8_t* data, size_t size) override {
    if (size == 0 || size > kOutputBlockSize)
      std::abort();  // the decoders promise blocks of at most this size
    out.insert(out.end(), data, data + size);
    return out.size() < limit_;
  }
  std::vector<uint8_t> out;

 private:
  size_t limit_;
};

// Decodes with two read patterns; both must give the same result.
inline void DecodeBothWays(uint16_t method,
                           uint16_t flags,
                           uint64_t size,
                           const uint8_t* data,
                           size_t n) {
  constexpr size_t kLimit = 4 << 20;
  Source whole(data, n, 1 << 20);
  Sink a(kLimit);
  DecodeResult ra = DecodeMember(method, flags, size, whole, a);
  Source bytes(data, n, 1);
  Sink b(kLimit);
  DecodeResult rb = DecodeMember(method, flags, size, bytes, b);
  if (ra.status != rb.status || ra.consumed > n)
    std::abort();
  // Both ways meet the same damage first, so they name the same reason.
  if ((ra.reason == nullptr) != (rb.reason == nullptr) ||
      (ra.reason && std::strcmp(ra.reason, rb.reason) != 0))
    std::abort();
  if (ra.status == DecodeStatus::kOutputStopped) {
    // Stopped by the sink: the blocks, and so what passed the limit, depend
    // on the read pattern; what came before the limit does not.
    if (!std::equal(a.out.begin(), a.out.begin() + kLimit, b.out.begin()))
      std::abort();
    return;
  }
  if (a.out != b.out || ra.produced != a.out.size())
    std::abort();
  if (method < 8 && ra.produced > size)
    std::abort();
}

}  // namespace qm::zip::fuzz

#endif  // QM_FUZZ_ZIP_DECODE_FUZZ_SUPPORT_H_
