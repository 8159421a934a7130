#include "http/http_cli.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <climits>

#include "http/request.h"
#include "util/ascii.h"

namespace qm::http {
namespace {

// Milliseconds on a clock that never goes back; wraps like a tick counter.
uint32_t NowMs() {
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::string DurationText(uint32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds" : std::to_string(ms) + " ms";
}

// A control byte would end or split the request line it goes into.
bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
  });
}

// The host and port of an absolute URL, the port "80" when it names none.
std::string Origin(const std::string& url) {
  UrlParts parts = SplitUrl(url);
  return AsciiLowerCopy(parts.host) + ":" + (parts.port.empty() ? "80" : parts.port);
}

}  // namespace

// Keeps the text of the socket's last error report, which the client shows
// when such a report leaves the request without any further event.
class THttpCli::ClientSocket : public TWSocket {
 public:
  std::string last_report;

 protected:
  void ReportError(const std::string& text) override {
    last_report = text;
    TWSocket::ReportError(text);
  }
};

THttpCli::THttpCli() : reader_(this) {
  window_ = std::make_unique<platform::MessageWindow>(
      [this](const platform::Message& message) { WndProc(message); });
  socket_ = std::make_unique<ClientSocket>();
  socket_->OnSessionClosed = [this](TWSocket*, uint16_t error) {
    Guarded([&] { SocketSessionClosed(error); });
  };
  socket_->OnDataAvailable = [this](TWSocket*, uint16_t error) {
    Guarded([&] { SocketDataAvailable(error); });
  };
  socket_->OnSessionConnected = [this](TWSocket*, uint16_t error) {
    Guarded([&] { SocketSessionConnected(error); });
  };
  socket_->OnDnsLookupDone = [this](TWSocket*, uint16_t error) {
    Guarded([&] { SocketDnsLookupDone(error); });
  };
  socket_->OnError = [this](TWSocket*) { SocketErrorReported(); };
}

THttpCli::~THttpCli() {
  socket_->OnSessionClosed = nullptr;
  socket_->OnDataAvailable = nullptr;
  socket_->OnSessionConnected = nullptr;
  socket_->OnDnsLookupDone = nullptr;
  socket_->OnError = [](TWSocket*) {};
  socket_.reset();
}

void THttpCli::Guarded(const std::function<void()>& step) {
  // An exception of an event handler ends the request with its text instead
  // of leaving it to wait for the idle limit.
  try {
    step();
  } catch (const std::exception& e) {
    FailRequest(e.what());
  }
}

TWSocket& THttpCli::Socket() {
  return *socket_;
}

void THttpCli::Get() {
  StartRequest(httpGET);
  while (state_ != httpIdle) {
    platform::ProcessMessages();
    if (state_ == httpIdle) {
      break;
    }
    int wait_ms = CheckTimeLimits();
    if (state_ == httpIdle) {
      break;
    }
    platform::WaitForMessages(wait_ms);
  }
  if (status_code_ >= 400) {
    throw EHttpException(reason_phrase_, status_code_);
  }
}

int THttpCli::CheckTimeLimits() {
  uint32_t now = NowMs();
  uint32_t limit;
  uint32_t since;
  std::string text;
  switch (state_) {
    case httpStarting:
    case httpResolving:
    case httpResolved:
    case httpConnected:
      limit = ConnectTimeoutMs;
      since = phase_start_;
      text = "Connection timed out after " + DurationText(limit);
      break;
    case httpAwaitHeader:
    case httpAwaitBody:
      if (awaiting_relocate_) {
        return -1;
      }
      limit = IdleTimeoutMs;
      since = last_activity_;
      text = "No data received for " + DurationText(limit);
      if (int slow_wait = CheckSlowLink(now); slow_wait >= 0) {
        if (state_ == httpIdle || ending_) {
          return 0;
        }
        uint32_t elapsed = now - since;
        if (elapsed < limit) {
          return std::min(slow_wait,
                          static_cast<int>(std::min<uint32_t>(limit - elapsed, INT_MAX)));
        }
      }
      break;
    default:
      return -1;
  }
  uint32_t elapsed = now - since;
  if (elapsed >= limit) {
    FailRequest(text);
    return 0;
  }
  return static_cast<int>(std::min<uint32_t>(limit - elapsed, INT_MAX));
}

int THttpCli::CheckSlowLink(uint32_t now) {
  if (SlowLinkRate == 0 || SlowLinkTimeMs == 0 || rate_samples_.empty()) {
    return -1;
  }
  const uint32_t step = std::max<uint32_t>(SlowLinkTimeMs / 8, 1);
  if (now - rate_samples_.back().first >= step) {
    rate_samples_.emplace_back(now, bytes_in_);
  }
  // The oldest sample kept is the newest one at least SlowLinkTimeMs old.
  while (rate_samples_.size() >= 2 && now - rate_samples_[1].first >= SlowLinkTimeMs) {
    rate_samples_.pop_front();
  }
  const auto& [since, bytes] = rate_samples_.front();
  const uint32_t span = now - since;
  if (span >= SlowLinkTimeMs &&
      static_cast<uint64_t>(bytes_in_ - bytes) * 1000 < uint64_t{SlowLinkRate} * span) {
    FailRequest("Transfer slower than " + std::to_string(SlowLinkRate) + " bytes per second for " +
                DurationText(SlowLinkTimeMs));
    return 0;
  }
  return static_cast<int>(step - std::min(step, now - rate_samples_.back().first));
}

bool THttpCli::DocumentComplete() const {
  if (!failure_.empty() || status_code_ < 200 || status_code_ > 299) {
    return false;
  }
  switch (reader_.phase()) {
    case ResponseReader::Phase::kComplete:
    case ResponseReader::Phase::kNoBody:
      return true;
    case ResponseReader::Phase::kBody:
      // Without a length only an orderly close ends the document.
      return reader_.content_length() < 0 && ending_ && request_error_ == 0 &&
             state_ != httpAborting;
    default:
      return false;
  }
}

void THttpCli::StartRequest(THttpRequest kind) {
  if (state_ != httpIdle) {
    throw EHttpException("HTTP component is busy", kHttpBusy);
  }
  try {
    RunStart(kind);
  } catch (const std::exception& e) {
    // A handler failed on the way: the request ends here, and the client
    // is ready for the next one.
    FailStart(e.what());
  }
}

void THttpCli::FailStart(const std::string& text) {
  if (state_ == httpIdle) {
    return;
  }
  ++serial_;
  if (state_ == httpResolving) {
    try {
      socket_->CancelDnsLookup();
    } catch (const std::exception&) {
    }
  }
  reader_.Stop();
  status_code_ = kHttpClientFailure;
  reason_phrase_ = text;
  connected_ = false;
  if (socket_->State() != wsClosed) {
    try {
      socket_->Close();
    } catch (const std::exception&) {
    }
  }
  ForgetRequestCredentials();
  state_ = httpIdle;
  try {
    TriggerStateChange();
  } catch (const std::exception&) {
    // The request has failed already, with the first reason.
  }
  TriggerRequestDone();
}

void THttpCli::RunStart(THttpRequest kind) {
  caller_username_ = Username;
  caller_password_ = Password;
  ++serial_;
  request_type_ = kind;
  SetState(httpStarting);
  if (state_ != httpStarting) {
    return;  // aborted from the event
  }

  reader_.Reset();
  request_error_ = 0;
  document_name_.clear();
  status_code_ = 0;
  reason_phrase_.clear();
  received_count_ = 0;
  body_blocks_ = 0;
  rate_samples_.clear();
  content_type_.clear();
  location_ = URL;
  failure_.clear();
  relocating_ = false;
  closing_for_relocation_ = false;
  awaiting_relocate_ = false;
  header_in_progress_ = false;
  doc_begun_ = false;
  body_received_ = false;
  ending_ = false;
  close_deferred_ = false;
  paused_for_reader_ = false;
  relocations_ = 0;
  send_credentials_ = true;

  if (HasControlCharacter(URL)) {
    FailStart("Invalid URL: it contains a control character");
    return;
  }
  UrlParts url = SplitUrl(URL, request_.target);
  if (!url.user.empty()) {
    Username = url.user;
  }
  if (!url.password.empty()) {
    Password = url.password;
  }
  request_.target_host = url.host;
  if (Proxy.empty()) {
    request_.host_name = url.host;
    request_.target = url.path;
    request_.port = url.port.empty() ? "80" : url.port;
  } else {
    std::string target = url.scheme.empty() ? "http" : url.scheme;
    target.append("://").append(url.host);
    if (!url.port.empty()) {
      target.append(":").append(url.port);
    }
    request_.target = target.append(url.path);
    UrlParts proxy = SplitUrl(Proxy);
    request_.host_name = proxy.host;
    request_.port = proxy.port.empty() ? ProxyPort : proxy.port;
  }
  if (request_.target.empty()) {
    request_.target.push_back('/');
  }
  document_name_ = ComputeDocumentName(url.path);
  StartDnsLookup();
}

void THttpCli::StartDnsLookup() {
  awaiting_relocate_ = false;
  phase_start_ = NowMs();
  SetState(httpResolving);
  if (state_ != httpResolving) {
    return;  // aborted from the event
  }
  try {
    socket_->SetLocalAddr(LocalAddr);
    socket_->DnsLookup(request_.host_name);
  } catch (const std::exception& e) {
    status_code_ = kHttpClientFailure;
    reason_phrase_ = e.what();
    connected_ = false;
    ++serial_;
    SetState(httpIdle);
  }
}

void THttpCli::SocketDnsLookupDone(uint16_t error) {
  if (state_ != httpResolving || !failure_.empty()) {
    return;
  }
  if (error != 0) {
    request_error_ = error;
    failure_ = "can't resolve hostname to IP address";
    SocketSessionClosed(error);
    return;
  }
  std::string address = socket_->DnsResult();
  SetState(httpResolved);
  if (state_ != httpResolved) {
    return;  // aborted from the event
  }
  socket_->last_report.clear();
  try {
    socket_->SetAddr(address);
    socket_->SetLocalAddr(LocalAddr);
    socket_->SetPort(request_.port);
    socket_->SetProto("tcp");
    socket_->Connect();
  } catch (const std::exception&) {
    int code = socket_->LastError();
    request_error_ = code;
    failure_ =
        "can't connect: " + WSocketErrorDesc(code) + " (Error #" + std::to_string(code) + ")";
    socket_->Close();
    SocketSessionClosed(static_cast<uint16_t>(code));
  }
}

void THttpCli::SocketSessionConnected(uint16_t error) {
  if (state_ != httpResolved) {
    return;
  }
  if (error != 0) {
    request_error_ = error;
    failure_ = WSocketErrorDesc(error) + " (Error #" + std::to_string(error) + ")";
    if (!socket_->last_report.empty()) {
      // A check before the attempt knows better than the bare code.
      failure_ += ": " + socket_->last_report;
    }
    SocketSessionClosed(error);
    return;
  }
  connected_ = true;
  last_activity_ = NowMs();
  rate_samples_.clear();
  rate_samples_.emplace_back(last_activity_, bytes_in_);
  SetState(httpConnected);
  TriggerSessionConnected();
  if (state_ != httpConnected) {
    return;  // aborted from the event
  }
  SetState(httpAwaitHeader);
  if (state_ == httpAwaitHeader) {
    SendRequest();
  }
}

void THttpCli::SendRequest() {
  static const char* const kMethods[] = {"GET", "GET", "POST", "HEAD"};
  try {
    std::string request = ComposeRequest(kMethods[request_type_]);
    if (state_ != httpAwaitHeader) {
      return;  // aborted from an event of the composition
    }
    if (socket_->Send(request.data(), static_cast<int>(request.size())) < 0) {
      FailRequest("Cannot send the request: " + socket_->last_report);
    }
  } catch (const std::exception& e) {
    FailRequest(e.what());
  }
}

std::string THttpCli::ComposeRequest(const std::string& method) {
  TriggerRequestHeaderBegin();
  RequestFields f;
  f.method = method;
  f.target = request_.target;
  f.sender = Sender;
  f.accept = Accept;
  f.reference = Reference;
  f.accept_language = AcceptLanguage;
  f.content_type_post = ContentTypePost;
  f.agent = Agent;
  f.host = request_.target_host;
  f.no_cache = NoCache;
  f.modified_since = ModifiedSince;
  if (send_credentials_) {
    f.username = Username;
    f.password = Password;
  }
  f.proxy = Proxy;
  f.proxy_username = ProxyUsername;
  f.proxy_password = ProxyPassword;
  f.cookie = Cookie;
  f.range_begin = ContentRangeBegin;
  f.range_end = ContentRangeEnd;
  std::vector<std::string> lines = ComposeRequestLines(f);
  ContentRangeBegin.clear();
  ContentRangeEnd.clear();
  accept_ranges_.clear();
  TriggerBeforeHeaderSend(method, lines);
  std::string buffer;
  for (std::string& line : lines) {
    if (OnCommand) {
      OnCommand(this, line);
    }
    buffer += line;
    buffer += "\r\n";
  }
  TriggerRequestHeaderEnd();
  buffer += "\r\n";
  return buffer;
}

void THttpCli::SocketDataAvailable(uint16_t error) {
  AssertInvariants();
  if (state_ != httpAwaitHeader && state_ != httpAwaitBody) {
    // Bytes nobody waits for (after an abort): read and drop them.
    char scratch[4096];
    socket_->Receive(scratch, sizeof scratch);
    return;
  }
  if (reader_.busy()) {
    // A handler of ours turns the loop: the reader keeps these bytes until
    // it returns, up to a limit; beyond it the socket waits.
    if (reader_.space_size() == 0) {
      socket_->Pause();
      paused_for_reader_ = true;
      return;
    }
    ReadIntoReader();
    return;
  }
  uintptr_t serial = serial_;
  if (ReadIntoReader() <= 0) {
    return;
  }
  FinishReceive(serial);
}

int THttpCli::ReadIntoReader() {
  int n = socket_->Receive(reader_.space(), static_cast<int>(reader_.space_size()));
  if (n < 0 && socket_->LastError() != platform::kSockErrWouldBlock) {
    // A reset seen by the read: the close that follows may carry no error.
    request_error_ = socket_->LastError();
  }
  if (n > 0) {
    last_activity_ = NowMs();
    bytes_in_ += n;
    reader_.Received(static_cast<size_t>(n));
  }
  return n;
}

void THttpCli::FinishReceive(uintptr_t serial) {
  for (;;) {
    if (serial != serial_) {
      return;
    }
    AfterReceive();
    if (!paused_for_reader_) {
      break;
    }
    // Events that came while paused were dropped: read on by hand until
    // the socket has nothing more.
    paused_for_reader_ = false;
    socket_->Resume();
    if (state_ != httpAwaitHeader && state_ != httpAwaitBody) {
      break;
    }
    int n = ReadIntoReader();
    if (n == 0 || (n < 0 && socket_->LastError() != platform::kSockErrWouldBlock)) {
      close_deferred_ = true;  // the peer has closed
    }
    if (n <= 0) {
      break;
    }
  }
  if (close_deferred_ && serial == serial_) {
    close_deferred_ = false;
    if ((state_ == httpAwaitHeader || state_ == httpAwaitBody) && !ending_ && !awaiting_relocate_) {
      socket_->Close();
      SocketSessionClosed(0);
    }
  }
}

void THttpCli::AfterReceive() {
  AssertInvariants();
  if ((state_ != httpAwaitHeader && state_ != httpAwaitBody) || ending_ || awaiting_relocate_) {
    return;
  }
  if (!failure_.empty()) {
    FailRequest(failure_);
    return;
  }
  switch (reader_.phase()) {
    case ResponseReader::Phase::kFailed:
      FailRequest(reader_.error());
      break;
    case ResponseReader::Phase::kRelocate:
      assert(relocating_ && !header_in_progress_);
      closing_for_relocation_ = true;
      socket_->Close();
      if (closing_for_relocation_) {
        RelocationSessionClosed();  // the socket was already closed
      }
      break;
    case ResponseReader::Phase::kNoBody:
    case ResponseReader::Phase::kComplete:
      // Closing at once keeps a late close away from the next request.
      socket_->Close();
      SocketSessionClosed(0);
      break;
    case ResponseReader::Phase::kBody:
      if (status_code_ >= 400) {
        socket_->Close();
        SocketSessionClosed(0);
      }
      break;
    default:
      break;
  }
}

void THttpCli::HeaderBegun() {
  assert(!header_in_progress_ && reader_.header_in_progress());
  TriggerHeaderBegin();
}

void THttpCli::LocationRead(const std::string& value) {
  if (HasControlCharacter(value)) {
    failure_ = "Invalid relocation target: it contains a control character";
    reader_.Stop();
    return;
  }
  assert(header_in_progress_);
  relocating_ = true;
  pending_relocation_ = ComputeRelocation(value, request_, !Proxy.empty());
}

void THttpCli::CookieRead(const std::string& value) {
  bool accept = true;
  TriggerCookie(value, accept);
}

void THttpCli::HeaderLineRead(const std::string& line) {
  status_code_ = reader_.status_code();
  reason_phrase_ = reader_.reason_phrase();
  content_type_ = reader_.content_type();
  // The reply's span stays with the reply (ContentRangeFirst and on):
  // copied into the request fields it would go out again with the next
  // request, to a document it does not belong to.
  accept_ranges_ = reader_.accept_ranges();
  if (OnHeaderData) {
    OnHeaderData(this);
  }
}

void THttpCli::HeaderEnded() {
  assert(header_in_progress_ && !reader_.header_in_progress());
  content_type_ = reader_.content_type();
  bool document = reader_.phase() == ResponseReader::Phase::kBody ||
                  reader_.phase() == ResponseReader::Phase::kNoBody;
  if (document && status_code_ < 400 && (status_code_ < 200 || status_code_ > 299)) {
    // Only a 2xx answer carries the document; a 3xx without a location
    // carries an error page at best.
    failure_ = status_code_ == 0 ? std::string("The server's answer has no status line")
                                 : "Unexpected answer: " + std::to_string(status_code_) + " " +
                                       reader_.reason_phrase();
    if (status_code_ >= 300) {
      failure_ += " without a location";
    }
    reader_.Stop();
    TriggerHeaderEnd();
    return;
  }
  if (reader_.phase() == ResponseReader::Phase::kBody) {
    size_t dot = document_name_.rfind('.');
    const std::string extension =
        AsciiLowerCopy(dot == std::string::npos ? "" : document_name_.substr(dot));
    if ((extension.empty() || extension == ".exe") && content_type_ == "text/html") {
      document_name_ = document_name_.substr(0, dot) + ".htm";
    }
    SetState(httpAwaitBody);
  }
  TriggerHeaderEnd();
}

void THttpCli::BodyRead(const char* data, size_t size) {
  if (state_ != httpAwaitBody || !failure_.empty()) {
    return;
  }
  if (!doc_begun_) {
    assert(!header_in_progress_);
    doc_begun_ = true;
    TriggerDocBegin();
    if (state_ != httpAwaitBody) {
      return;
    }
  }
  ++body_blocks_;
  received_count_ += static_cast<int64_t>(size);
  body_received_ = body_received_ || (status_code_ >= 200 && status_code_ <= 299);
  if (receive_stream_ != nullptr && !receive_stream_->Write(data, size)) {
    failure_ = "Cannot store the received document";
    std::string reason = receive_stream_->ErrorText();
    if (!reason.empty()) {
      failure_ += ": " + reason;
    }
    reader_.Stop();
    return;
  }
  TriggerDocData(data, static_cast<int32_t>(size));
}

void THttpCli::SocketSessionClosed(uint16_t error) {
  if (state_ == httpIdle || ending_) {
    return;
  }
  AssertInvariants();
  if (reader_.busy() && (state_ == httpAwaitHeader || state_ == httpAwaitBody) &&
      (reader_.phase() == ResponseReader::Phase::kHeader ||
       reader_.phase() == ResponseReader::Phase::kBody ||
       reader_.phase() == ResponseReader::Phase::kRelocate)) {
    // The reader still holds bytes of this response: the close counts once
    // they are through (the read that holds them finishes it).
    close_deferred_ = true;
    if (error != 0) {
      request_error_ = error;
    }
    return;
  }
  if (error != 0) {
    request_error_ = error;
  }
  connected_ = false;
  if (state_ == httpAborting) {
    if (body_blocks_ > 0) {
      FireDocEnd();
    }
    return;
  }
  if (closing_for_relocation_) {
    RelocationSessionClosed();
    return;
  }
  if (header_in_progress_) {
    TriggerHeaderEnd();
    if (relocating_ && failure_.empty()) {
      RelocationSessionClosed();
      return;
    }
  }
  ending_ = true;
  if (body_blocks_ > 0) {
    FireDocEnd();
  }
  if (failure_.empty()) {
    std::string socket_text;
    if (request_error_ != 0) {
      socket_text = " (" + WSocketErrorDesc(request_error_) + ", Error #" +
                    std::to_string(request_error_) + ")";
    }
    switch (reader_.phase()) {
      case ResponseReader::Phase::kFailed:
        failure_ = reader_.error();
        break;
      case ResponseReader::Phase::kHeader:
        failure_ = (reader_.header_lines() == 0 ? "Connection closed without a response"
                                                : "Connection closed inside the response header") +
                   socket_text;
        break;
      case ResponseReader::Phase::kBody:
        if (status_code_ == 0) {
          failure_ = "The server's answer has no status line";
        } else if (reader_.content_length() >= 0 &&
                   reader_.received_count() < reader_.content_length()) {
          failure_ = "Document incomplete: " + std::to_string(reader_.received_count()) + " of " +
                     std::to_string(reader_.content_length()) + " bytes received" + socket_text;
        } else if (request_error_ != 0) {
          failure_ = "Connection lost" + socket_text;
        }
        break;
      case ResponseReader::Phase::kNoBody:
      case ResponseReader::Phase::kComplete:
        if (status_code_ == 0) {
          failure_ = "The server's answer has no status line";
        }
        break;
      default:
        break;
    }
  }
  if (!failure_.empty() && status_code_ < 400) {
    status_code_ = kHttpClientFailure;
    reason_phrase_ = failure_;
  }
  PostReady();
}

void THttpCli::RelocationSessionClosed() {
  // The header's end has been reported: it closed, or it named a location.
  assert(!header_in_progress_ && !ending_ && !awaiting_relocate_);
  closing_for_relocation_ = false;
  connected_ = false;
  relocating_ = false;
  close_deferred_ = false;
  if (++relocations_ > kMaxRelocations) {
    failure_ = "Too many relocations (more than " + std::to_string(kMaxRelocations) +
               "), the last to " + pending_relocation_.location;
    SocketSessionClosed(0);
    return;
  }
  if (pending_relocation_.has_credentials) {
    Username = pending_relocation_.user;
    Password = pending_relocation_.password;
    send_credentials_ = true;
  } else if (Origin(pending_relocation_.location) != Origin(location_)) {
    // The user's credentials are for the server they named, not for
    // wherever it sends us.
    send_credentials_ = false;
  }
  request_ = pending_relocation_.next;
  location_ = pending_relocation_.location;
  std::string path = SplitUrl(location_.substr(0, location_.find('#'))).path;
  document_name_ = ComputeDocumentName(path);
  if (request_type_ == httpPOST) {
    request_type_ = httpGET;
  }
  if (OnLocationChange) {
    OnLocationChange(this);
  }
  if (state_ == httpIdle || state_ == httpAborting) {
    return;  // aborted from the event
  }
  reader_.Reset();
  status_code_ = 0;
  reason_phrase_.clear();
  content_type_.clear();
  awaiting_relocate_ = true;
  window_->Post(kWmHttpRelocate, serial_);
}

void THttpCli::SocketErrorReported() {
  if (OnSocketError) {
    OnSocketError(this);
  }
  if (state_ != httpIdle) {
    window_->Post(kWmHttpCheckSocket, serial_);
  }
}

void THttpCli::CheckSocket() {
  // A report that closed the socket without a close event would otherwise
  // leave the request waiting for ever.
  bool waits_on_socket = state_ == httpResolved || state_ == httpConnected ||
                         state_ == httpAwaitHeader || state_ == httpAwaitBody;
  if (waits_on_socket && !ending_ && !awaiting_relocate_ && !closing_for_relocation_ &&
      socket_->State() == wsClosed) {
    FailRequest(socket_->last_report.empty() ? "Socket error" : socket_->last_report);
  }
}

void THttpCli::FailRequest(const std::string& text) {
  if (state_ == httpIdle || state_ == httpAborting || ending_) {
    return;
  }
  failure_ = text;
  if (state_ == httpResolving) {
    try {
      socket_->CancelDnsLookup();
    } catch (const std::exception&) {
    }
  }
  reader_.Stop();
  if (socket_->State() != wsClosed) {
    socket_->Close();
  }
  closing_for_relocation_ = false;
  relocating_ = false;
  SocketSessionClosed(0);
}

void THttpCli::FireDocEnd() {
  // Runs where the request is already ending: a failing handler must not
  // keep it from ending.
  try {
    TriggerDocEnd();
  } catch (const std::exception& e) {
    if (failure_.empty() && state_ != httpAborting) {
      failure_ = e.what();
    }
  }
}

void THttpCli::PostReady() {
  window_->Post(kWmHttpReady, serial_);
}

void THttpCli::Abort() {
  if (state_ == httpIdle) {
    if (socket_->State() != wsClosed) {
      socket_->Close();
    }
    return;
  }
  bool was_resolving = state_ == httpResolving;
  ++serial_;  // messages posted for this request are void now
  SetState(httpAborting);
  if (was_resolving) {
    try {
      socket_->CancelDnsLookup();
    } catch (const std::exception&) {
    }
  }
  status_code_ = kHttpClientFailure;
  reason_phrase_ = "Connection aborted on request";
  request_error_ = 3;
  reader_.Stop();
  if (socket_->State() != wsClosed) {
    socket_->Close();
  } else if (body_blocks_ > 0 && !ending_) {
    FireDocEnd();
  }
  connected_ = false;
  SetState(httpIdle);
}

void THttpCli::WndProc(const platform::Message& message) {
  AssertInvariants();
  switch (message.id) {
    case kWmHttpRequestDone:
      if (OnRequestDone) {
        OnRequestDone(this, request_type_, static_cast<uint16_t>(request_error_));
      }
      break;
    case kWmHttpReady:
      if (message.wparam == serial_) {
        SetState(httpIdle);
      }
      break;
    case kWmHttpRelocate:
      if (message.wparam == serial_ && awaiting_relocate_) {
        Guarded([this] { StartDnsLookup(); });
      }
      break;
    case kWmHttpCheckSocket:
      if (message.wparam == serial_) {
        CheckSocket();
      }
      break;
    default:
      break;
  }
}

void THttpCli::AssertInvariants() const {
  if (state_ == httpIdle || state_ == httpAborting) {
    return;  // an ended request leaves its flags as they were
  }
  // A relocation runs: location read, connection closing, next lookup posted.
  assert(!closing_for_relocation_ || (relocating_ && !header_in_progress_ && !ending_));
  assert(!awaiting_relocate_ || (state_ == httpAwaitHeader && !relocating_ &&
                                 !closing_for_relocation_ && !header_in_progress_ && !ending_));
  // The document begins after its header has ended.
  assert(!doc_begun_ || (state_ == httpAwaitBody && !header_in_progress_));
  assert(!paused_for_reader_ || state_ == httpAwaitHeader || state_ == httpAwaitBody);
  // Between reads the reader, unless stopped or the end decided (which
  // reports the header's end on the client's side only), is inside a header
  // exactly when OnHeaderBegin has fired without its OnHeaderEnd.
  assert(reader_.busy() || ending_ || reader_.phase() == ResponseReader::Phase::kStopped ||
         header_in_progress_ == reader_.header_in_progress());
}

void THttpCli::SetState(THttpState state) {
  if (state == state_) {
    return;
  }
  state_ = state;
  if (state != httpIdle) {
    TriggerStateChange();
    return;
  }
  ForgetRequestCredentials();
  try {
    TriggerStateChange();
  } catch (...) {
    TriggerRequestDone();  // idle all the same
    throw;
  }
  TriggerRequestDone();
}

void THttpCli::ForgetRequestCredentials() {
  Username = caller_username_;
  Password = caller_password_;
}

void THttpCli::TriggerStateChange() {
  if (OnStateChange) {
    OnStateChange(this);
  }
}

void THttpCli::TriggerSessionConnected() {
  if (OnSessionConnected) {
    OnSessionConnected(this);
  }
}

void THttpCli::TriggerRequestHeaderBegin() {
  if (OnRequestHeaderBegin) {
    OnRequestHeaderBegin(this);
  }
}

void THttpCli::TriggerBeforeHeaderSend(const std::string& method,
                                       std::vector<std::string>& headers) {
  if (OnBeforeHeaderSend) {
    OnBeforeHeaderSend(this, method, headers);
  }
}

void THttpCli::TriggerRequestHeaderEnd() {
  if (OnRequestHeaderEnd) {
    OnRequestHeaderEnd(this);
  }
}

void THttpCli::TriggerHeaderBegin() {
  header_in_progress_ = true;  // the one record that OnHeaderEnd is owed
  if (OnHeaderBegin) {
    OnHeaderBegin(this);
  }
}

void THttpCli::TriggerHeaderEnd() {
  header_in_progress_ = false;
  if (OnHeaderEnd) {
    OnHeaderEnd(this);
  }
}

void THttpCli::TriggerCookie(const std::string& data, bool& accept) {
  if (OnCookie) {
    OnCookie(this, data, accept);
  }
}

void THttpCli::TriggerDocBegin() {
  if (OnDocBegin) {
    OnDocBegin(this);
  }
}

void THttpCli::TriggerDocData(const char* buffer, int32_t len) {
  if (OnDocData) {
    OnDocData(this, buffer, len);
  }
}

void THttpCli::TriggerDocEnd() {
  if (OnDocEnd) {
    OnDocEnd(this);
  }
}

void THttpCli::TriggerRequestDone() {
  window_->Post(kWmHttpRequestDone);
}

}  // namespace qm::http
