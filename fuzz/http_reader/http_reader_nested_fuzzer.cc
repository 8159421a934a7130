// The response reader on any response, cut into reads of random sizes, with
// callbacks that read again the way a handler that turns the message loop
// makes the socket read. Whatever the cuts and the nesting, the outcome must
// equal that of reading the whole response at once; body blocks stay intact
// while their callback runs and never run ahead of the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "http/response_reader.h"

namespace {

using qm::http::ResponseReader;

// Decisions come from a generator seeded by the input, so that the
// response bytes themselves stay free.
class Choices {
 public:
  explicit Choices(uint64_t seed) : state_(seed | 1) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ >> 32);
  }
  // Mostly small reads, now and then one large enough to span the buffers.
  size_t ReadSize() {
    uint32_t r = Next();
    switch (r % 8) {
      case 0:
        return 1;
      case 1:
        return 1 + r / 8 % 300000;
      default:
        return 1 + r / 8 % 64;
    }
  }

 private:
  uint64_t state_;
};

// Names the failed check's line in the crash report.
void Check(bool condition, int line = __builtin_LINE()) {
  if (!condition) {
    std::fprintf(stderr, "check failed at line %d\n", line);
    std::abort();
  }
}

// Reads the whole response in one call.
class Reference : public ResponseReader::Listener {
 public:
  std::string body;
  void BodyRead(const char* data, size_t size) override { body.append(data, size); }
};

class Nested : public ResponseReader::Listener {
 public:
  Nested(Choices& choices, std::deque<std::string>& reads) : choices_(choices), reads_(reads) {}

  ResponseReader* reader = nullptr;
  std::string body;
  size_t arrived = 0;  // bytes handed to the reader so far
  int begins = 0;
  int ends = 0;

  // One read, as the socket would make it: through space() and Received(),
  // or through Feed; what does not fit waits at the front.
  void ReadOne() {
    std::string data = std::move(reads_.front());
    reads_.pop_front();
    if (choices_.Next() % 2 == 0) {
      arrived += data.size();
      reader->Feed(data);
      return;
    }
    size_t n = std::min(data.size(), reader->space_size());
    if (n < data.size())
      reads_.push_front(data.substr(n));
    if (n == 0)
      return;
    std::memcpy(reader->space(), data.data(), n);
    arrived += n;
    reader->Received(n);
  }

  void HeaderBegun() override {
    ++begins;
    MaybePump();
  }
  void LocationRead(const std::string&) override { MaybePump(); }
  void CookieRead(const std::string&) override { MaybePump(); }
  void HeaderLineRead(const std::string&) override { MaybePump(); }
  void HeaderEnded() override {
    ++ends;
    MaybePump();
  }
  void BodyRead(const char* data, size_t size) override {
    Check(size > 0 && size <= ResponseReader::kBodyBlockLimit);
    Check(ends == 1);
    body.append(data, size);
    Check(body.size() <= arrived);
    std::string copy(data, size);
    MaybePump();
    Check(std::memcmp(copy.data(), data, size) == 0);
  }

 private:
  // Turns the "loop" for a few reads, as a modal box would.
  void MaybePump() {
    Check(reader->busy());
    uint32_t r = choices_.Next();
    if (r % 3 != 0)
      return;
    for (uint32_t i = 0; i < 1 + r / 3 % 4 && !reads_.empty(); ++i) {
      size_t before = reads_.size();
      ReadOne();
      if (reads_.size() == before && reader->space_size() == 0)
        break;  // the reader wants no more for now; the socket would pause
    }
  }

  Choices& choices_;
  std::deque<std::string>& reads_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8)
    return 0;
  uint64_t seed = 0;
  std::memcpy(&seed, data, 8);
  const std::string input(reinterpret_cast<const char*>(data) + 8, size - 8);

  Reference reference;
  ResponseReader whole(&reference);
  whole.Feed(input);

  Choices choices(seed);
  std::deque<std::string> reads;
  for (size_t at = 0; at < input.size();) {
    size_t n = std::min(choices.ReadSize(), input.size() - at);
    reads.push_back(input.substr(at, n));
    at += n;
  }
  Nested nested(choices, reads);
  ResponseReader reader(&nested);
  nested.reader = &reader;
  while (!reads.empty())
    nested.ReadOne();

  using Phase = ResponseReader::Phase;
  Check(!reader.busy());
  Check(nested.arrived == input.size());
  Check(nested.begins <= 1 && nested.ends <= 1);
  Check(reader.phase() == whole.phase());
  Check(reader.status_code() == whole.status_code());
  Check(reader.reason_phrase() == whole.reason_phrase());
  Check(reader.content_length() == whole.content_length());
  Check(reader.received_header() == whole.received_header());
  Check(nested.body == reference.body);
  Check(reader.received_count() == static_cast<int64_t>(nested.body.size()));
  if (reader.content_length() >= 0)
    Check(reader.received_count() <= reader.content_length());
  if (reader.phase() == Phase::kFailed)
    Check(!reader.error().empty());
  // A header still open after all input stays within the limit; past it
  // the reader must have given up.
  if (reader.phase() == Phase::kHeader)
    Check(input.size() <= ResponseReader::kHeaderLimit);
  return 0;
}
