#include "http/response_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::http {
namespace {

using Phase = ResponseReader::Phase;

// Records what the reader reports, in order.
class Recorder : public ResponseReader::Listener {
 public:
  std::vector<std::string> events;
  std::string body;
  std::vector<std::string> cookies;
  std::vector<std::string> locations;

  void HeaderBegun() override { events.push_back("begin"); }
  void LocationRead(const std::string& value) override { locations.push_back(value); }
  void CookieRead(const std::string& value) override { cookies.push_back(value); }
  void HeaderLineRead(const std::string& line) override { events.push_back("line:" + line); }
  void HeaderEnded() override { events.push_back("end"); }
  void BodyRead(const char* data, size_t size) override { body.append(data, size); }
};

// Feeds the input in pieces of `chunk` bytes, as separate reads.
void FeedInChunks(ResponseReader& reader, const std::string& input, size_t chunk) {
  for (size_t i = 0; i < input.size(); i += chunk)
    reader.Feed(std::string_view(input).substr(i, chunk));
}

struct ReadCase {
  const char* name;
  std::string input;
  Phase phase;
  int status;
  std::string reason;
  int64_t content_length;
  std::string content_type;
  std::string body;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << c.name;
}

class ResponseReaderTest : public testing::TestWithParam<std::tuple<ReadCase, size_t>> {};

TEST_P(ResponseReaderTest, ReadsWholeAndSplitAcrossReads) {
  const auto& [c, chunk] = GetParam();
  Recorder recorder;
  ResponseReader reader(&recorder);
  FeedInChunks(reader, c.input, chunk);
  EXPECT_EQ(reader.phase(), c.phase);
  EXPECT_EQ(reader.status_code(), c.status);
  EXPECT_EQ(reader.reason_phrase(), c.reason);
  EXPECT_EQ(reader.content_length(), c.content_length);
  EXPECT_EQ(reader.content_type(), c.content_type);
  EXPECT_EQ(recorder.body, c.body);
  EXPECT_EQ(reader.received_count(), static_cast<int64_t>(c.body.size()));
}

const ReadCase kReadCases[] = {
    {"LengthAndBody", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", Phase::kComplete, 200,
     "OK", 5, "", "hello"},
    {"LfOnlyLines", "HTTP/1.0 200 Fine\nContent-Length: 3\n\nabc", Phase::kComplete, 200, "Fine", 3,
     "", "abc"},
    {"NoLengthReadsToClose", "HTTP/1.0 200 OK\r\n\r\nsome\r\nbody\n", Phase::kBody, 200, "OK", -1,
     "", "some\r\nbody\n"},
    {"ZeroLength", "HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\nignored", Phase::kNoBody,
     204, "No Content", 0, "", ""},
    {"LongerThanLengthIsCut", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n0123456789",
     Phase::kComplete, 200, "OK", 4, "", "0123"},
    {"FieldNamesAnyCaseValueLowered", "HTTP/1.0 200 OK\r\nContent-TYPE:   Text/HTML\r\n\r\nx",
     Phase::kBody, 200, "OK", -1, "text/html", "x"},
    {"StatusPrefixIsCaseSensitive", "http/1.0 500 Bad\r\nHTTP/1.0 200 OK\r\n\r\n", Phase::kBody,
     200, "OK", -1, "", ""},
    {"NoReasonPhrase", "HTTP/1.1 302\r\nContent-Length: 0\r\n\r\n", Phase::kNoBody, 302, "", 0, "",
     ""},
    // A reply without header: the document is kept byte for byte.
    {"HeaderlessHtml", "<html><body>\r\nHi\n</body></html>", Phase::kBody, 0, "", -1, "text/html",
     "<html><body>\r\nHi\n</body></html>"},
    {"HeaderlessHtmlAfterHeaderLines", "X-Junk: 1\n<HTML>\nrest", Phase::kBody, 0, "", -1,
     "text/html", "<HTML>\nrest"},
    {"BinaryBodyWithNulAndCr",
     std::string("HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\n\0\r\n\r\n\xff", 44),
     Phase::kComplete, 200, "OK", 6, "", std::string("\0\r\n\r\n\xff", 6)},
    {"InvalidContentLength", "HTTP/1.0 200 OK\r\nContent-Length: 12x\r\n\r\nbody", Phase::kFailed,
     200, "OK", -1, "", ""},
    {"NegativeContentLength", "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nbody", Phase::kFailed,
     200, "OK", -1, "", ""},
    {"InvalidStatusCode", "HTTP/1.0 2x0 OK\r\n\r\nbody", Phase::kFailed, 0, "", -1, "", ""},
    {"CloseBeforeBlankLine", "HTTP/1.0 200 OK\r\nServer: x\r\n", Phase::kHeader, 200, "OK", -1, "",
     ""},
    // Our requests never ask for chunks: stored raw they would corrupt the file.
    {"ChunkedIsRefused",
     "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", Phase::kFailed,
     200, "OK", -1, "", ""},
    {"ChunkedBesideALengthIsRefused",
     "HTTP/1.1 200 OK\r\nContent-Length: 15\r\nTransfer-Encoding: "
     "Chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     Phase::kFailed, 200, "OK", 15, "", ""},
    {"IdentityEncodingIsPlain", "HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\n\r\nplain",
     Phase::kBody, 200, "OK", -1, "", "plain"},
    {"InterimReplyIsSkipped",
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
     Phase::kComplete, 200, "OK", 2, "", "ok"},
    // Fields of an interim reply neither frame nor relocate the document.
    {"InterimFieldsAreIgnored",
     "HTTP/1.1 103 Early Hints\r\nContent-Length: 1\r\nLocation: /x\r\n\r\n"
     "HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\n\r\nbody",
     Phase::kBody, 200, "OK", -1, "", "body"},
    {"ConflictingLengths",
     "HTTP/1.0 200 OK\r\nContent-Length: 10\r\nContent-Length: 3\r\n\r\n0123456789", Phase::kFailed,
     200, "OK", 10, "", ""},
    {"RepeatedEqualLengths",
     "HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabcdef", Phase::kComplete,
     200, "OK", 3, "", "abc"},
    {"OneDigitStatus", "HTTP/1.0 2\r\n\r\nbody", Phase::kFailed, 0, "", -1, "", ""},
    {"FourDigitStatus", "HTTP/1.0 2000 OK\r\n\r\nbody", Phase::kFailed, 0, "", -1, "", ""},
    {"StatusBelow100", "HTTP/1.0 099 Odd\r\n\r\nbody", Phase::kFailed, 0, "", -1, "", ""},
};

std::string CaseName(const testing::TestParamInfo<std::tuple<ReadCase, size_t>>& info) {
  return std::string(std::get<0>(info.param).name) + "_chunk" +
         std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         ResponseReaderTest,
                         testing::Combine(testing::ValuesIn(kReadCases),
                                          testing::Values(size_t{1}, size_t{7}, size_t{100000})),
                         CaseName);

TEST(ResponseReaderEvents, OrderAndHeaderValues) {
  Recorder recorder;
  ResponseReader reader(&recorder);
  reader.Feed(
      "HTTP/1.1 206 Partial\r\n"
      "Content-Range: bytes 10-19/100\r\n"
      "Accept-Ranges: bytes\r\n"
      "WWW-Authenticate: Basic realm=\"a\"\r\n"
      "Set-Cookie: id=1\r\n"
      "no colon here\r\n"
      "\r\n");
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{
                "begin", "line:HTTP/1.1 206 Partial", "line:Content-Range: bytes 10-19/100",
                "line:Accept-Ranges: bytes", "line:WWW-Authenticate: Basic realm=\"a\"",
                "line:Set-Cookie: id=1", "line:no colon here", "end"}));
  EXPECT_EQ(reader.content_range_begin(), "10");
  EXPECT_EQ(reader.content_range_end(), "19");
  EXPECT_EQ(reader.accept_ranges(), "bytes");
  EXPECT_EQ(reader.www_authenticate(), std::vector<std::string>{"Basic realm=\"a\""});
  EXPECT_EQ(recorder.cookies, std::vector<std::string>{"id=1"});
  EXPECT_EQ(reader.received_header().size(), 6u);
}

TEST(ResponseReaderEvents, LocationRelocatesWhateverTheStatusAndDropsTheBody) {
  Recorder recorder;
  ResponseReader reader(&recorder);
  reader.Feed("HTTP/1.0 200 OK\r\nLocation: /next\r\nContent-Length: 4\r\n\r\nbody");
  EXPECT_EQ(reader.phase(), Phase::kRelocate);
  EXPECT_EQ(recorder.locations, std::vector<std::string>{"/next"});
  EXPECT_EQ(recorder.body, "");
}

TEST(ResponseReaderEvents, LineLimit) {
  {
    Recorder recorder;
    ResponseReader reader(&recorder);
    reader.Feed(std::string(ResponseReader::kLineLimit, 'a'));
    EXPECT_EQ(reader.phase(), Phase::kFailed);
    EXPECT_EQ(reader.error(), "HTTP line too long");
    EXPECT_GT(reader.space_size(), 0u) << "bytes after a failure are still read and dropped";
  }
  {
    Recorder recorder;
    ResponseReader reader(&recorder);
    std::string header = "X-Long: " + std::string(ResponseReader::kLineLimit - 9, 'b') + "\n";
    reader.Feed("HTTP/1.0 200 OK\n" + header + "\nok");
    EXPECT_EQ(reader.phase(), Phase::kBody);
    EXPECT_EQ(recorder.body, "ok");
  }
}

TEST(ResponseReaderEvents, WholeHeaderLimit) {
  const std::string pad = "X-Pad: " + std::string(8000, 'p') + "\r\n";
  struct Case {
    const char* name;
    std::string head;  // before the padding
    int pad_lines;
    bool fails;
  } cases[] = {
      {"under the limit", "HTTP/1.0 200 OK\r\n", 8, false},
      {"over the limit", "HTTP/1.0 200 OK\r\n", 9, true},
      {"interim replies count", "HTTP/1.1 100 Continue\r\n" + pad + pad + "\r\nHTTP/1.0 200 OK\r\n",
       7, true},
      // Never a blank line: the limit ends it all the same.
      {"endless", "HTTP/1.0 200 OK\r\n", 1000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder recorder;
    ResponseReader reader(&recorder);
    reader.Feed(c.head);
    for (int i = 0; i < c.pad_lines && reader.phase() == Phase::kHeader; ++i)
      reader.Feed(pad);
    reader.Feed("\r\nbody");
    if (c.fails) {
      EXPECT_EQ(reader.phase(), Phase::kFailed);
      EXPECT_EQ(reader.error().rfind("Document incomplete", 0), 0u) << reader.error();
      EXPECT_EQ(recorder.body, "");
    } else {
      EXPECT_EQ(reader.phase(), Phase::kBody);
      EXPECT_EQ(recorder.body, "body");
    }
  }
}

// A listener whose callbacks feed more input, as a handler that turns the
// message loop makes the socket read again.
class Reentrant : public Recorder {
 public:
  ResponseReader* reader = nullptr;
  std::string during_line;  // fed inside the first header line's callback
  std::string during_body;  // fed inside the first body block's callback
  bool block_changed = false;

  void HeaderLineRead(const std::string& line) override {
    Recorder::HeaderLineRead(line);
    Nest(during_line);
  }
  void BodyRead(const char* data, size_t size) override {
    Recorder::BodyRead(data, size);
    std::string copy(data, size);
    Nest(during_body);
    // The outer block must still be intact when the callback returns.
    block_changed = block_changed || std::string(data, size) != copy;
  }

 private:
  void Nest(std::string& input) {
    std::string feed;
    feed.swap(input);
    reader->Feed(feed);
  }
};

TEST(ResponseReaderEvents, InputInsideACallbackWaitsForIt) {
  Reentrant listener;
  ResponseReader reader(&listener);
  listener.reader = &reader;
  listener.during_line = ": 1\r\nContent-Length: 8\r\n\r\nAAAA";
  listener.during_body = "BBBB";
  reader.Feed("HTTP/1.0 200 OK\r\nX-Partial");
  EXPECT_EQ(listener.events,
            (std::vector<std::string>{"begin", "line:HTTP/1.0 200 OK", "line:X-Partial: 1",
                                      "line:Content-Length: 8", "end"}));
  EXPECT_EQ(listener.body, "AAAABBBB");
  EXPECT_FALSE(listener.block_changed);
  EXPECT_EQ(reader.phase(), Phase::kComplete);
  EXPECT_FALSE(reader.busy());
}

// A listener that stops the reader from inside a callback, as an abort does.
class Stopper : public Recorder {
 public:
  ResponseReader* reader = nullptr;
  void HeaderLineRead(const std::string& line) override {
    Recorder::HeaderLineRead(line);
    reader->Stop();
  }
};

TEST(ResponseReaderEvents, StopInsideCallbackEndsProcessing) {
  Stopper stopper;
  ResponseReader reader(&stopper);
  stopper.reader = &reader;
  reader.Feed("HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody");
  EXPECT_EQ(reader.phase(), Phase::kStopped);
  EXPECT_EQ(stopper.events, (std::vector<std::string>{"begin", "line:HTTP/1.0 200 OK"}));
  EXPECT_EQ(stopper.body, "");
  EXPECT_EQ(reader.status_code(), 200);
}

TEST(ResponseReaderEvents, ResetStartsAFreshResponse) {
  Recorder recorder;
  ResponseReader reader(&recorder);
  reader.Feed("HTTP/1.0 404 Nope\r\nContent-Length: 2\r\n\r\nno");
  reader.Reset();
  EXPECT_EQ(reader.status_code(), 0);
  EXPECT_EQ(reader.content_length(), -1);
  EXPECT_TRUE(reader.received_header().empty());
  reader.Feed("HTTP/1.0 200 OK\r\n\r\nyes");
  EXPECT_EQ(reader.status_code(), 200);
  EXPECT_EQ(reader.received_count(), 3);
}

}  // namespace
}  // namespace qm::http
