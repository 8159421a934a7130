// Bit input, block output and entry points of the legacy decoders (Shrink,
// Reduce, Implode), shared by their files.
#pragma once

#include <cstdint>
#include <memory>

#include "zip/decode/decoder.h"

namespace qm::zip::internal {

// Buffered input and bit reader of the legacy decoders: low bits of each byte
// first, the first bit read becomes the lowest bit of the value.
class BitInput {
 public:
  explicit BitInput(InputSource& source);

  // n <= 24; -1 when the input ends (or fails) before n bits.
  int32_t Bits(unsigned n);

  uint64_t consumed() const { return consumed_; }
  bool read_error() const { return read_error_; }

 private:
  bool Refill();

  InputSource& source_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t pos_ = 0;
  size_t size_ = 0;
  bool ended_ = false;
  bool read_error_ = false;
  uint64_t consumed_ = 0;
  uint32_t bitbuf_ = 0;
  unsigned bitcount_ = 0;
};

// Collects output into blocks for the sink and stops at the expected size.
class BlockOutput {
 public:
  BlockOutput(OutputSink& sink, uint64_t expected);
  ~BlockOutput() = default;

  // false once the expected size is reached or the sink stopped.
  bool Put(uint8_t byte) {
    buffer_[fill_++] = byte;
    ++total_;
    if (fill_ == kOutputBlockSize && !Flush())
      return false;
    return total_ < expected_;
  }
  bool Flush();
  bool full() const { return total_ >= expected_; }
  bool stopped() const { return stopped_; }
  uint64_t produced() const { return produced_; }

 private:
  OutputSink& sink_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t fill_ = 0;
  uint64_t total_ = 0;
  uint64_t produced_ = 0;
  uint64_t expected_;
  bool stopped_ = false;
};

// The result of a legacy decoder after it stopped; a fault marks malformed
// input, otherwise a stop before the expected size means the input ended.
DecodeResult Finish(BitInput& in, BlockOutput& out, DataFault fault = DataFault::kNone);

DecodeResult Unshrink(uint64_t size, InputSource& input, OutputSink& output);
DecodeResult Unreduce(int factor, uint64_t size, InputSource& input, OutputSink& output);
DecodeResult Explode(bool large_window,
                     bool literal_tree,
                     uint64_t size,
                     InputSource& input,
                     OutputSink& output);

}  // namespace qm::zip::internal
