// The response reader on any bytes, split into reads at sizes taken from the
// input, checking what the client relies on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/response_reader.h"

namespace {

class Checker : public qm::http::ResponseReader::Listener {
 public:
  int begins = 0;
  int ends = 0;
  int64_t body = 0;
  bool body_before_end = false;

  void HeaderBegun() override { ++begins; }
  void HeaderEnded() override { ++ends; }
  void BodyRead(const char* data, size_t size) override {
    if (ends == 0)
      body_before_end = true;
    if (size == 0 || size > qm::http::ResponseReader::kBodyBlockLimit)
      std::abort();
    volatile char first = data[0], last = data[size - 1];  // readable
    (void)first;
    (void)last;
    body += static_cast<int64_t>(size);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  size_t chunk = static_cast<size_t>(data[0]) * 64 + 1;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  Checker checker;
  qm::http::ResponseReader reader(&checker);
  for (size_t i = 0; i < input.size(); i += chunk)
    reader.Feed(std::string_view(input).substr(i, chunk));

  using Phase = qm::http::ResponseReader::Phase;
  if (checker.begins > 1 || checker.ends > 1 || checker.body_before_end)
    std::abort();
  if (checker.body != reader.received_count())
    std::abort();
  if (reader.content_length() >= 0 && reader.received_count() > reader.content_length())
    std::abort();
  if (reader.phase() == Phase::kComplete && reader.received_count() != reader.content_length())
    std::abort();
  if (reader.phase() == Phase::kFailed && reader.error().empty())
    std::abort();
  if (checker.body > 0 && reader.phase() != Phase::kBody && reader.phase() != Phase::kComplete)
    std::abort();
  return 0;
}
