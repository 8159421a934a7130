#include "zip/decode/legacy_io.h"

namespace qm::zip::internal {
namespace {
constexpr size_t kInputBlock = 32768;
}  // namespace

BitInput::BitInput(InputSource& source) : source_(source), buffer_(new uint8_t[kInputBlock]) {}

bool BitInput::Refill() {
  if (ended_) {
    return false;
  }
  int64_t n = source_.Read(buffer_.get(), kInputBlock);
  if (n <= 0) {
    ended_ = true;
    read_error_ = n < 0;
    return false;
  }
  pos_ = 0;
  size_ = static_cast<size_t>(n);
  return true;
}

int32_t BitInput::Bits(unsigned n) {
  while (bitcount_ < n) {
    if (pos_ == size_ && !Refill()) {
      return -1;
    }
    bitbuf_ |= uint32_t{buffer_[pos_++]} << bitcount_;
    bitcount_ += 8;
    ++consumed_;
  }
  int32_t v = static_cast<int32_t>(bitbuf_ & ((1u << n) - 1));
  bitbuf_ >>= n;
  bitcount_ -= n;
  return v;
}

BlockOutput::BlockOutput(OutputSink& sink, uint64_t expected)
    : sink_(sink), buffer_(new uint8_t[kOutputBlockSize]), expected_(expected) {}

bool BlockOutput::Flush() {
  if (stopped_) {
    return false;
  }
  if (fill_ == 0) {
    return true;
  }
  if (!sink_.Write(buffer_.get(), fill_)) {
    stopped_ = true;
    fill_ = 0;
    return false;
  }
  produced_ += fill_;
  fill_ = 0;
  return true;
}

DecodeResult Finish(BitInput& in, BlockOutput& out, DataFault fault) {
  DecodeResult r;
  bool flushed = out.Flush();
  r.consumed = in.consumed();
  r.produced = out.produced();
  if (!flushed || out.stopped()) {
    r.status = DecodeStatus::kOutputStopped;
  } else if (fault != DataFault::kNone) {
    r.status = DecodeStatus::kDataError;
    r.fault = fault;
  } else if (out.full()) {
    r.status = DecodeStatus::kOk;
  } else if (in.read_error()) {
    r.status = DecodeStatus::kReadError;
  } else {
    r.status = DecodeStatus::kInputEnded;
  }
  return r;
}

}  // namespace qm::zip::internal
