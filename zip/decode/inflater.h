// Streaming raw Deflate and Deflate64 decoder over memory buffers, used by
// the member decoder for methods 8 and 9.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm::zip {

enum class InflateStatus {
  kNeedMore,   // all input used or all output room filled; call again
  kStreamEnd,  // the final block ended; *consumed stops right after it
  kDataError,  // malformed stream; the inflater stays in this state
};

// Raw Deflate (RFC 1951) or Deflate64 decoder, streaming over memory.
// Keeps its own window; any split of input and output is accepted.
class Inflater {
 public:
  explicit Inflater(bool deflate64);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Starts a new stream.
  void Reset();

  // Decodes from in into out. *consumed and *produced are set to the bytes
  // used and written by this call. Returns kNeedMore when it stopped for lack
  // of input or output room (a call with neither progress needs more input).
  // After kStreamEnd, bytes that lay past the end of the stream are not
  // counted in *consumed.
  InflateStatus Inflate(const uint8_t* in,
                        size_t in_size,
                        uint8_t* out,
                        size_t out_size,
                        size_t* consumed,
                        size_t* produced);

  bool deflate64() const;

  // After kDataError: what was wrong, in zlib's words ("invalid distance too
  // far back"); nullptr otherwise.
  const char* error_reason() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qm::zip
