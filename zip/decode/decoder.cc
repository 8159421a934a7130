#include "zip/decode/decoder.h"

#include <memory>

#include "zip/decode/inflater.h"
#include "zip/decode/legacy_io.h"

namespace qm::zip {
namespace {

constexpr size_t kInflateInputBlock = 65536;

DecodeResult InflateMember(bool deflate64, InputSource& input, OutputSink& output) {
  DecodeResult r;
  auto inflater = std::make_unique<Inflater>(deflate64);
  std::unique_ptr<uint8_t[]> in(new uint8_t[kInflateInputBlock]);
  std::unique_ptr<uint8_t[]> out(new uint8_t[kOutputBlockSize]);
  size_t in_pos = 0, in_len = 0;
  bool at_end = false;
  for (;;) {
    if (in_pos == in_len && !at_end) {
      int64_t n = input.Read(in.get(), kInflateInputBlock);
      if (n < 0) {
        r.status = DecodeStatus::kReadError;
        return r;
      }
      in_pos = 0;
      in_len = static_cast<size_t>(n);
      at_end = n == 0;
    }
    size_t used = 0, made = 0;
    InflateStatus st = inflater->Inflate(in.get() + in_pos, in_len - in_pos, out.get(),
                                         kOutputBlockSize, &used, &made);
    in_pos += used;
    r.consumed += used;
    if (made) {
      if (!output.Write(out.get(), made)) {
        r.status = DecodeStatus::kOutputStopped;
        return r;
      }
      r.produced += made;
    }
    if (st == InflateStatus::kStreamEnd) {
      return r;
    }
    if (st == InflateStatus::kDataError) {
      r.status = DecodeStatus::kDataError;
      r.fault = DataFault::kBadBlock;
      r.reason = inflater->error_reason();
      return r;
    }
    if (used == 0 && made == 0 && at_end) {
      r.status = DecodeStatus::kInputEnded;
      return r;
    }
  }
}

}  // namespace

bool IsSupportedMethod(uint16_t method) {
  return (method >= 1 && method <= 6) || method == 8 || method == 9;
}

DecodeResult DecodeMember(uint16_t method,
                          uint16_t flags,
                          uint64_t uncompressed_size,
                          InputSource& input,
                          OutputSink& output) {
  switch (method) {
    case 1:
      return internal::Unshrink(uncompressed_size, input, output);
    case 2:
    case 3:
    case 4:
    case 5:
      return internal::Unreduce(method - 1, uncompressed_size, input, output);
    case 6:
      return internal::Explode((flags & 2) != 0, (flags & 4) != 0, uncompressed_size, input,
                               output);
    case 8:
    case 9:
      return InflateMember(method == 9, input, output);
    default: {
      DecodeResult r;
      r.status = DecodeStatus::kUnsupported;
      return r;
    }
  }
}

const char* DecodeStatusName(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::kOk:
      return "ok";
    case DecodeStatus::kDataError:
      return "data error";
    case DecodeStatus::kInputEnded:
      return "input ended";
    case DecodeStatus::kOutputStopped:
      return "output stopped";
    case DecodeStatus::kReadError:
      return "read error";
    case DecodeStatus::kUnsupported:
      return "unsupported method";
  }
  return "unknown";
}

}  // namespace qm::zip
