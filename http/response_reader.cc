#include "http/response_reader.h"

#include <algorithm>
#include <cstring>

#include "util/ascii.h"

namespace qm::http {
namespace {

// A non-negative decimal number of at most 18 digits; -1 otherwise.
int64_t ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 18) {
    return -1;
  }
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return -1;
    }
    value = value * 10 + (c - '0');
  }
  return value;
}

// The three-digit code of a status line that begins "HTTP/1.x": a space,
// three digits from 100 to 599, then the end or a space; -1 otherwise.
int ParseStatusCode(std::string_view line) {
  if (line.size() < 12 || line[8] != ' ' || (line.size() > 12 && line[12] != ' ')) {
    return -1;
  }
  int64_t value = ParseDecimal(line.substr(9, 3));
  return value >= 100 && value <= 599 ? static_cast<int>(value) : -1;
}

// Counts a callback level for as long as processing runs, also when a
// listener throws.
class BusyScope {
 public:
  explicit BusyScope(int& depth) : depth_(depth) { ++depth_; }
  ~BusyScope() { --depth_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int& depth_;
};

}  // namespace

ResponseReader::ResponseReader(Listener* listener)
    : listener_(listener), buffer_(kBodyBlockLimit), side_(kBodyBlockLimit) {}

void ResponseReader::Reset() {
  ++generation_;
  held_ = 0;
  header_bytes_ = 0;
  deferred_.clear();
  phase_ = Phase::kHeader;
  header_in_progress_ = false;
  error_.clear();
  status_code_ = 0;
  reason_phrase_.clear();
  content_length_ = -1;
  content_type_.clear();
  content_range_begin_.clear();
  content_range_end_.clear();
  has_content_range_ = false;
  content_range_first_ = -1;
  content_range_last_ = -1;
  content_range_total_ = -1;
  last_modified_.clear();
  etag_.clear();
  accept_ranges_.clear();
  received_header_.clear();
  www_authenticate_.clear();
  relocation_pending_ = false;
  received_count_ = 0;
  body_blocks_ = 0;
  header_lines_ = 0;
}

void ResponseReader::Stop() {
  ++generation_;
  held_ = 0;
  deferred_.clear();
  phase_ = Phase::kStopped;
  header_in_progress_ = false;
}

char* ResponseReader::space() {
  // A callback up the stack may still hold the main buffer's bytes.
  return busy_ > 0 ? side_.data() : buffer_.data() + held_;
}

size_t ResponseReader::space_size() const {
  if (busy_ > 0) {
    if (!Wants()) {
      return side_.size();  // read and dropped
    }
    return std::min(side_.size(), kDeferLimit - std::min(kDeferLimit, deferred_.size()));
  }
  // Header lines are limited; body bytes, and bytes after the response
  // (read and dropped so that the sender is never stuck), are not.
  return phase_ == Phase::kHeader ? kLineLimit - held_ : buffer_.size();
}

void ResponseReader::Feed(std::string_view data) {
  if (!Wants()) {
    return;
  }
  // Kept whole, so that what a callback reads meanwhile comes after it.
  deferred_.append(data);
  if (busy_ == 0) {
    ProcessDeferred();
  }
}

void ResponseReader::Received(size_t count) {
  if (count == 0 || !Wants()) {
    return;
  }
  if (busy_ > 0) {
    deferred_.append(side_.data(), count);
    return;
  }
  Process(count);
  ProcessDeferred();
}

void ResponseReader::ProcessDeferred() {
  // More may be added to the end while a part is processed.
  while (!deferred_.empty() && Wants()) {
    std::string pending;
    pending.swap(deferred_);
    std::string_view rest(pending);
    while (!rest.empty() && Wants()) {
      size_t n = std::min(space_size(), rest.size());
      if (n == 0) {
        Fail("HTTP line too long");  // a full line buffer
        break;
      }
      std::memcpy(space(), rest.data(), n);
      rest.remove_prefix(n);
      Process(n);
    }
  }
  if (!Wants()) {
    deferred_.clear();
  }
}

void ResponseReader::Process(size_t count) {
  BusyScope scope(busy_);
  switch (phase_) {
    case Phase::kHeader:
      held_ += count;
      ProcessHeaderBytes(generation_);
      return;
    case Phase::kBody:
      ProcessBody(buffer_.data(), count);
      return;
    default:
      return;  // not part of the document
  }
}

void ResponseReader::ProcessHeaderBytes(uint64_t generation) {
  size_t start = 0;
  while (phase_ == Phase::kHeader && start < held_) {
    const char* begin = buffer_.data() + start;
    const char* lf = static_cast<const char*>(std::memchr(begin, '\n', held_ - start));
    if (lf == nullptr) {
      break;
    }
    size_t line_end = static_cast<size_t>(lf - buffer_.data());
    size_t length = line_end - start;
    if (length > 0 && begin[length - 1] == '\r') {
      --length;
    }
    std::string line(begin, length);
    size_t line_start = start;
    start = line_end + 1;
    header_bytes_ += start - line_start;
    if (header_bytes_ > kHeaderLimit) {
      FailHeaderTooLarge();
      return;
    }

    if (line.size() >= 6 && AsciiLowerCopy(line.substr(0, 6)) == "<html>") {
      // A reply without header: the document starts with this very line,
      // line end included, and everything held after it.
      if (!header_in_progress_) {
        header_in_progress_ = true;
        listener_->HeaderBegun();
        if (generation != generation_) {
          return;
        }
      }
      ++header_lines_;
      if (content_type_.empty()) {
        content_type_ = "text/html";
      }
      EndHeader(generation, line_start);
      return;
    }
    if (!ProcessHeaderLine(line, generation)) {
      return;
    }
    if (phase_ != Phase::kHeader) {
      if (phase_ == Phase::kBody) {
        EndHeader(generation, start);
      } else {
        held_ = 0;
        header_in_progress_ = false;
        listener_->HeaderEnded();
      }
      return;
    }
  }
  if (generation != generation_ || phase_ != Phase::kHeader) {
    return;
  }
  std::memmove(buffer_.data(), buffer_.data() + start, held_ - start);
  held_ -= start;
  if (header_bytes_ + held_ > kHeaderLimit) {
    FailHeaderTooLarge();
  } else if (held_ >= kLineLimit) {
    Fail("HTTP line too long");
  }
}

void ResponseReader::FailHeaderTooLarge() {
  Fail("Document incomplete: the response header is larger than " + std::to_string(kHeaderLimit) +
       " bytes");
}

bool ResponseReader::ProcessHeaderLine(const std::string& line, uint64_t generation) {
  if (!header_in_progress_ && header_lines_ == 0) {
    header_in_progress_ = true;
    listener_->HeaderBegun();
    if (generation != generation_) {
      return false;
    }
  }
  ++header_lines_;
  if (line.empty()) {
    if (status_code_ >= 100 && status_code_ < 200) {
      SkipInterimReply();
      return true;
    }
    if (relocation_pending_) {
      phase_ = Phase::kRelocate;
    } else if (content_length_ == 0) {
      phase_ = Phase::kNoBody;
    } else {
      phase_ = Phase::kBody;
    }
    return true;
  }
  received_header_.push_back(line);
  if (line.starts_with("HTTP/1.0") || line.starts_with("HTTP/1.1")) {
    int value = ParseStatusCode(line);
    if (value < 0) {
      Fail("Invalid status line: " + line.substr(0, 64));
      return false;
    }
    status_code_ = value;
    reason_phrase_ = line.size() > 13 ? line.substr(13) : std::string();
  } else if (status_code_ >= 100 && status_code_ < 200) {
    // The fields of an interim reply say nothing about the document.
  } else if (line.find(':') != std::string::npos) {
    InterpretField(line);
    if (phase_ == Phase::kFailed) {
      return false;
    }
    if (generation != generation_) {
      return false;
    }
  }
  listener_->HeaderLineRead(line);
  return generation == generation_ && phase_ == Phase::kHeader;
}

void ResponseReader::SkipInterimReply() {
  status_code_ = 0;
  reason_phrase_.clear();
  received_header_.clear();
}

void ResponseReader::ReadContentRange(std::string_view value) {
  content_range_first_ = -1;
  content_range_last_ = -1;
  content_range_total_ = -1;
  constexpr std::string_view kUnit = "bytes ";
  if (value.size() < kUnit.size() ||
      AsciiLowerCopy(std::string(value.substr(0, kUnit.size()))) != kUnit) {
    return;
  }
  value.remove_prefix(kUnit.size());
  const size_t slash = value.find('/');
  if (slash == std::string_view::npos) {
    return;
  }
  content_range_total_ = ParseDecimal(value.substr(slash + 1));
  const std::string_view span = value.substr(0, slash);
  const size_t dash = span.find('-');
  if (dash == std::string_view::npos) {
    return;
  }
  const int64_t first = ParseDecimal(span.substr(0, dash));
  const int64_t last = ParseDecimal(span.substr(dash + 1));
  // A span that runs backwards or past the total says nothing usable.
  if (first >= 0 && last >= first && (content_range_total_ < 0 || last < content_range_total_)) {
    content_range_first_ = first;
    content_range_last_ = last;
  }
}

void ResponseReader::InterpretField(const std::string& line) {
  size_t colon = line.find(':');
  std::string name = AsciiLowerCopy(line.substr(0, colon));
  size_t value_start = colon + 1;
  while (value_start + 1 < line.size() && line[value_start] == ' ') {
    ++value_start;
  }
  std::string value = line.substr(std::min(value_start, line.size()));

  if (name == "location") {
    relocation_pending_ = true;
    listener_->LocationRead(value);
  } else if (name == "content-length") {
    int64_t length = ParseDecimal(TrimAsciiBlanks(value));
    if (length < 0) {
      Fail("Invalid content length: " + value.substr(0, 64));
      return;
    }
    if (content_length_ >= 0 && length != content_length_) {
      // Which one frames the body is anybody's guess.
      Fail("Conflicting content lengths: " + std::to_string(content_length_) + " and " +
           std::to_string(length));
      return;
    }
    content_length_ = length;
  } else if (name == "content-range") {
    size_t dash = value.find('-');
    size_t slash = value.find('/');
    content_range_begin_ =
        dash != std::string::npos && dash > 6 ? value.substr(6, dash - 6) : std::string();
    content_range_end_ = dash != std::string::npos && slash != std::string::npos && slash > dash
                             ? value.substr(dash + 1, slash - dash - 1)
                             : std::string();
    has_content_range_ = true;
    ReadContentRange(TrimAsciiBlanks(value));
  } else if (name == "last-modified") {
    last_modified_ = std::string(TrimAsciiBlanks(value));
  } else if (name == "etag") {
    etag_ = std::string(TrimAsciiBlanks(value));
  } else if (name == "accept-ranges") {
    accept_ranges_ = value;
  } else if (name == "content-type") {
    content_type_ = AsciiLowerCopy(value);
  } else if (name == "www-authenticate") {
    www_authenticate_.push_back(value);
  } else if (name == "set-cookie") {
    listener_->CookieRead(value);
  } else if (name == "transfer-encoding") {
    // An HTTP/1.0 request never asks for chunks; stored as they come they
    // would corrupt the document.
    if (AsciiLowerCopy(TrimAsciiBlanks(value)) != "identity") {
      Fail("Unsupported transfer encoding: " + value.substr(0, 64));
    }
  }
}

void ResponseReader::EndHeader(uint64_t generation, size_t body_from) {
  phase_ = Phase::kBody;
  header_in_progress_ = false;
  listener_->HeaderEnded();
  if (generation != generation_ || phase_ != Phase::kBody) {
    return;
  }
  size_t rest = held_ - body_from;
  held_ = 0;
  if (rest > 0) {
    // The body may be processed in place: it only moves towards the front.
    std::memmove(buffer_.data(), buffer_.data() + body_from, rest);
    ProcessBody(buffer_.data(), rest);
  }
}

void ResponseReader::ProcessBody(const char* data, size_t size) {
  if (content_length_ >= 0) {
    int64_t missing = content_length_ - received_count_;
    if (static_cast<int64_t>(size) >= missing) {
      size = static_cast<size_t>(missing);
      phase_ = Phase::kComplete;
    }
  }
  if (size == 0) {
    return;
  }
  ++body_blocks_;
  received_count_ += static_cast<int64_t>(size);
  listener_->BodyRead(data, size);
}

void ResponseReader::Fail(const std::string& text) {
  phase_ = Phase::kFailed;
  error_ = text;
  held_ = 0;
}

}  // namespace qm::http
