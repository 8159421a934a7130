// The member decoder: runs one zip member's compressed data through the
// decoder of its method into a sink.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm::zip {

// Compressed bytes of one member (already decrypted, limited to the member).
class InputSource {
 public:
  virtual ~InputSource() = default;
  // >0 bytes read, 0 at the end, -1 on a read error.
  virtual int64_t Read(uint8_t* buffer, size_t size) = 0;
};

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // false stops the decoder (write error or cancel).
  virtual bool Write(const uint8_t* data, size_t size) = 0;
};

enum class DecodeStatus {
  kOk,
  kDataError,      // the compressed data is malformed
  kInputEnded,     // the input ended before the stream (or the expected size) did
  kOutputStopped,  // the sink answered false
  kReadError,      // the source answered -1
  kUnsupported,    // unknown method; nothing was written
};

// What was wrong with data that ended in kDataError.
enum class DataFault {
  kNone,
  kBadBlock,       // a code or block that the method does not allow
  kAmbiguousTree,  // Implode: a Shannon-Fano tree that cannot be built or decoded
  kStackOverflow,  // Shrink: a string longer than the decoder's stack
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::kOk;
  DataFault fault = DataFault::kNone;  // set with kDataError
  // With kDataError from Deflate or Deflate64: what was wrong, in zlib's
  // words ("invalid block type"); nullptr otherwise.
  const char* reason = nullptr;
  uint64_t consumed = 0;  // input bytes actually used (inflate: up to the end of the stream)
  uint64_t produced = 0;  // bytes the sink took (not a block it refused)
};

// Output block size of every decoder: the sink never receives more at once.
inline constexpr size_t kOutputBlockSize = 32768;

// Methods: 1 Shrink, 2..5 Reduce, 6 Implode (flags bit 1 = 8K dictionary,
// bit 2 = 3 trees), 8 Deflate, 9 Deflate64. Method 0 (stored) is the
// extractor's copy loop, not here.
// The legacy methods (1..6) stop after uncompressed_size bytes. Inflate ignores
// uncompressed_size and runs to the end of its final block (sizes may be unknown
// when walking by local headers with data descriptors); the caller compares
// size and CRC afterwards. On an error, everything decoded before it has been
// handed to the sink.
DecodeResult DecodeMember(uint16_t method,
                          uint16_t flags,
                          uint64_t uncompressed_size,
                          InputSource& input,
                          OutputSink& output);

bool IsSupportedMethod(uint16_t method);

const char* DecodeStatusName(DecodeStatus status);

}  // namespace qm::zip
