// The receive side of one HTTP/1.0 response, driven by byte buffers: splits
// the header into lines, interprets the fields the client uses, and passes
// body blocks on. It knows nothing of sockets, so it can be fed from a test
// or a fuzzer exactly as from the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::http {

class ResponseReader {
 public:
  // A header line of this many bytes without a line end is refused.
  static constexpr size_t kLineLimit = 8192;
  // Largest body block handed on at once.
  static constexpr size_t kBodyBlockLimit = 65536;
  // The whole header, interim replies included, may not be larger.
  static constexpr size_t kHeaderLimit = 65536;
  // Bytes read while a callback runs wait here until it returns.
  static constexpr size_t kDeferLimit = 262144;

  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void HeaderBegun() {}
    virtual void LocationRead(const std::string& value) {}
    virtual void CookieRead(const std::string& value) {}
    // After each non-empty header line has been interpreted.
    virtual void HeaderLineRead(const std::string& line) {}
    // phase() already tells what follows: body, relocation or nothing.
    virtual void HeaderEnded() {}
    virtual void BodyRead(const char* data, size_t size) {}
  };

  enum class Phase {
    kHeader,    // reading the header (or nothing received yet)
    kBody,      // reading the body until the close or the announced length
    kRelocate,  // header over with a location; the body is not wanted
    kNoBody,    // header over with a content length of 0
    kComplete,  // the announced length has arrived; later bytes are dropped
    kFailed,    // unreadable response; error() tells why
    kStopped,   // the owner stopped reading; values are kept
  };

  explicit ResponseReader(Listener* listener);

  // Forgets everything of the previous response.
  void Reset();
  // Stops processing, also inside a callback, keeping what was read.
  void Stop();

  // Where the next read goes, and how much it may bring. While a callback
  // runs, reads go to a side area and wait there; the room is zero when that
  // is full.
  char* space();
  size_t space_size() const;
  // Processes `count` bytes just read into space(). Called from inside a
  // callback (a handler that turns the message loop), it only keeps them:
  // they are processed in order once the outer call's callback returns.
  void Received(size_t count);
  // Copies data in and processes it, as reads of any size would; inside a
  // callback it keeps all of it for later, like Received.
  void Feed(std::string_view data);

  // Inside a callback of this reader.
  bool busy() const { return busy_ > 0; }
  Phase phase() const { return phase_; }
  bool header_in_progress() const { return header_in_progress_; }
  const std::string& error() const { return error_; }

  int status_code() const { return status_code_; }
  const std::string& reason_phrase() const { return reason_phrase_; }
  int64_t content_length() const { return content_length_; }
  const std::string& content_type() const { return content_type_; }
  const std::string& content_range_begin() const { return content_range_begin_; }
  const std::string& content_range_end() const { return content_range_end_; }
  bool has_content_range() const { return has_content_range_; }
  // "bytes first-last/total" read into numbers; -1 where the field has no
  // such number ("*" or malformed).
  int64_t content_range_first() const { return content_range_first_; }
  int64_t content_range_last() const { return content_range_last_; }
  int64_t content_range_total() const { return content_range_total_; }
  // The validators as sent, trimmed; empty when absent.
  const std::string& last_modified() const { return last_modified_; }
  const std::string& etag() const { return etag_; }
  const std::string& accept_ranges() const { return accept_ranges_; }
  const std::vector<std::string>& received_header() const { return received_header_; }
  const std::vector<std::string>& www_authenticate() const { return www_authenticate_; }
  bool relocation_pending() const { return relocation_pending_; }
  int64_t received_count() const { return received_count_; }
  int64_t body_blocks() const { return body_blocks_; }
  int64_t header_lines() const { return header_lines_; }

 private:
  // True while bytes are still wanted.
  bool Wants() const { return phase_ == Phase::kHeader || phase_ == Phase::kBody; }
  void Process(size_t count);
  // Processes what waited, in order of arrival.
  void ProcessDeferred();
  void ProcessHeaderBytes(uint64_t generation);
  // false when the response cannot be read further.
  bool ProcessHeaderLine(const std::string& line, uint64_t generation);
  // Forgets an interim (1xx) reply once its header is over.
  void SkipInterimReply();
  void FailHeaderTooLarge();
  void InterpretField(const std::string& line);
  void ReadContentRange(std::string_view value);
  void EndHeader(uint64_t generation, size_t body_from);
  void ProcessBody(const char* data, size_t size);
  void Fail(const std::string& text);

  Listener* listener_;
  std::vector<char> buffer_;
  size_t held_ = 0;
  // Header bytes consumed so far, held bytes not included.
  size_t header_bytes_ = 0;
  // Nesting depth of callbacks, and what arrived during them.
  int busy_ = 0;
  std::vector<char> side_;
  std::string deferred_;
  // Bumped by Reset, so that processing stops when a listener restarts or
  // abandons the response from inside a callback.
  uint64_t generation_ = 0;

  Phase phase_ = Phase::kHeader;
  bool header_in_progress_ = false;
  std::string error_;
  int status_code_ = 0;
  std::string reason_phrase_;
  int64_t content_length_ = -1;
  std::string content_type_;
  std::string content_range_begin_;
  std::string content_range_end_;
  bool has_content_range_ = false;
  int64_t content_range_first_ = -1;
  int64_t content_range_last_ = -1;
  int64_t content_range_total_ = -1;
  std::string last_modified_;
  std::string etag_;
  std::string accept_ranges_;
  std::vector<std::string> received_header_;
  std::vector<std::string> www_authenticate_;
  bool relocation_pending_ = false;
  int64_t received_count_ = 0;
  int64_t body_blocks_ = 0;
  int64_t header_lines_ = 0;
};

}  // namespace qm::http
