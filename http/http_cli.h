// THttpCli: an HTTP/1.0 client that fetches one document at a time into a
// caller's stream, directly or through a proxy with Basic authentication,
// over a TWSocket. Everything runs on the loop's thread; Get waits in the
// message loop until the request is over and raises EHttpException unless
// the whole document arrived with a status below 400.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/http_exception.h"
#include "http/receive_stream.h"
#include "http/relocation.h"
#include "http/response_reader.h"
#include "http/socket/wsocket.h"
#include "http/url.h"
#include "platform/message_loop.h"

namespace qm::http {

enum THttpState : uint8_t {
  httpIdle = 0,
  httpStarting = 1,
  httpConnected = 2,
  httpResolving = 3,
  httpResolved = 4,
  httpAwaitHeader = 5,
  httpAwaitBody = 6,
  httpAborting = 7,
};

enum THttpRequest : uint8_t { httpAbort = 0, httpGET = 1, httpPOST = 2, httpHEAD = 3 };

// Messages of the client's own window.
inline constexpr uint32_t kWmHttpRequestDone = platform::kUserMessage + 1;  // 1025
inline constexpr uint32_t kWmHttpReady = platform::kUserMessage + 2;        // 1026
inline constexpr uint32_t kWmHttpRelocate = platform::kUserMessage + 3;     // 1027
// Checks whether a socket error report left the request without an event.
inline constexpr uint32_t kWmHttpCheckSocket = platform::kUserMessage + 4;  // 1028

// Time limits: a connection (lookup included) must be up within this time,
// and a transfer fails when nothing arrives for this long.
inline constexpr uint32_t kDefaultConnectTimeoutMs = 30 * 1000;
inline constexpr uint32_t kDefaultIdleTimeoutMs = 120 * 1000;
// Slow-link floor: a transfer that brings fewer than this many bytes per
// second over the last kDefaultSlowLinkTimeMs counts as stalled.
inline constexpr uint32_t kDefaultSlowLinkRate = 1024;
inline constexpr uint32_t kDefaultSlowLinkTimeMs = 30 * 1000;
// Relocations one request may follow before it fails.
inline constexpr int kMaxRelocations = 20;

class THttpCli : private ResponseReader::Listener {
 public:
  using TNotifyEvent = std::function<void(THttpCli* sender)>;
  using TDocDataEvent = std::function<void(THttpCli* sender, const char* buffer, int32_t len)>;
  using TBeforeHeaderSendEvent = std::function<
      void(THttpCli* sender, const std::string& method, std::vector<std::string>& headers)>;
  using TOnCommand = std::function<void(THttpCli* sender, std::string& line)>;
  using TCookieRcvdEvent =
      std::function<void(THttpCli* sender, const std::string& data, bool& accept)>;
  using THttpRequestDone =
      std::function<void(THttpCli* sender, THttpRequest rq_type, uint16_t error)>;

  THttpCli();
  virtual ~THttpCli();
  THttpCli(const THttpCli&) = delete;
  THttpCli& operator=(const THttpCli&) = delete;

  // Published properties.
  std::string URL;
  std::string LocalAddr = "0.0.0.0";
  std::string Proxy;  // host, optionally ":" port; empty: direct
  std::string ProxyPort = "80";
  std::string Sender;
  std::string Agent = "Mozilla/3.0 (compatible)";
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string AcceptLanguage;
  std::string Reference;
  std::string Username;
  std::string Password;
  std::string ProxyUsername;
  std::string ProxyPassword;
  bool NoCache = false;
  double ModifiedSince = 0;  // days since 1899-12-30; 0: not sent
  std::string Cookie;
  std::string ContentTypePost = "application/x-www-form-urlencoded";
  // Sent as "Range: bytes=Begin-End" with the next request (either may be
  // empty), then cleared: a Range is set per request.
  std::string ContentRangeBegin;
  std::string ContentRangeEnd;
  const std::string& AcceptRanges() const { return accept_ranges_; }
  uint32_t ConnectTimeoutMs = kDefaultConnectTimeoutMs;
  uint32_t IdleTimeoutMs = kDefaultIdleTimeoutMs;
  // A transfer whose bytes over the last SlowLinkTimeMs stay below
  // SlowLinkRate per second fails; either 0 turns the floor off.
  uint32_t SlowLinkRate = kDefaultSlowLinkRate;
  uint32_t SlowLinkTimeMs = kDefaultSlowLinkTimeMs;

  // Events; an unassigned event is skipped.
  TNotifyEvent OnStateChange;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnRequestHeaderBegin;
  TBeforeHeaderSendEvent OnBeforeHeaderSend;
  TOnCommand OnCommand;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderData;
  TNotifyEvent OnHeaderEnd;
  TCookieRcvdEvent OnCookie;
  TNotifyEvent OnLocationChange;
  TNotifyEvent OnDocBegin;
  TDocDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  THttpRequestDone OnRequestDone;
  TNotifyEvent OnSocketError;

  // The request's values; they keep those of the last request until the
  // next one starts.
  THttpState State() const { return state_; }
  ReceiveStream* ReceiveStreamPtr() const { return receive_stream_; }
  void SetReceiveStream(ReceiveStream* stream) { receive_stream_ = stream; }
  int32_t StatusCode() const { return status_code_; }
  const std::string& ReasonPhrase() const { return reason_phrase_; }
  int64_t ContentLength() const { return reader_.content_length(); }
  const std::string& ContentType() const { return content_type_; }
  int64_t ReceivedCount() const { return received_count_; }
  const std::vector<std::string>& ReceivedHeader() const { return reader_.received_header(); }
  // The reply's "Content-Range: bytes first-last/total" as numbers, each -1
  // when the reply had none or it was unreadable.
  int64_t ContentRangeFirst() const { return reader_.content_range_first(); }
  int64_t ContentRangeLast() const { return reader_.content_range_last(); }
  int64_t ContentRangeTotal() const { return reader_.content_range_total(); }
  // The reply's validators as sent; empty when it sent none.
  const std::string& LastModified() const { return reader_.last_modified(); }
  const std::string& ETag() const { return reader_.etag(); }
  // The status line's code as the server sent it (StatusCode turns into
  // kHttpClientFailure when the request fails); 0 before a status line.
  int32_t ReplyStatusCode() const { return reader_.status_code(); }
  // Whether any byte of a 2xx reply's document arrived in this request (an
  // error page does not count).
  bool BodyReceived() const { return body_received_; }
  // Whether the document arrived whole: false while it is still coming and
  // after a transfer that broke (OnDocEnd fires in both cases).
  bool DocumentComplete() const;
  const std::vector<std::string>& WwwAuthenticate() const { return reader_.www_authenticate(); }
  const std::string& Location() const { return location_; }
  const std::string& DocumentName() const { return document_name_; }
  THttpRequest RequestType() const { return request_type_; }
  int32_t RequestError() const { return request_error_; }
  TWSocket& Socket();

  // Fetches URL into the receive stream; returns when the whole document has
  // arrived, raises EHttpException otherwise.
  void Get();
  // Ends the request in progress as failed; safe at any moment.
  void Abort();

 protected:
  virtual void SetState(THttpState state);
  virtual void TriggerStateChange();
  virtual void TriggerSessionConnected();
  virtual void TriggerRequestHeaderBegin();
  virtual void TriggerBeforeHeaderSend(const std::string& method,
                                       std::vector<std::string>& headers);
  virtual void TriggerRequestHeaderEnd();
  virtual void TriggerHeaderBegin();
  virtual void TriggerHeaderEnd();
  virtual void TriggerCookie(const std::string& data, bool& accept);
  virtual void TriggerDocBegin();
  virtual void TriggerDocData(const char* buffer, int32_t len);
  virtual void TriggerDocEnd();
  virtual void TriggerRequestDone();
  virtual void WndProc(const platform::Message& message);

 private:
  // ResponseReader::Listener
  void HeaderBegun() override;
  void LocationRead(const std::string& value) override;
  void CookieRead(const std::string& value) override;
  void HeaderLineRead(const std::string& line) override;
  void HeaderEnded() override;
  void BodyRead(const char* data, size_t size) override;

  void Guarded(const std::function<void()>& step);
  void StartRequest(THttpRequest kind);
  void RunStart(THttpRequest kind);
  // Ends a request that failed while starting; the client is idle after.
  void FailStart(const std::string& text);
  void StartDnsLookup();
  void SocketDnsLookupDone(uint16_t error);
  void SocketSessionConnected(uint16_t error);
  void SocketDataAvailable(uint16_t error);
  // One read into the reader; the socket's count.
  int ReadIntoReader();
  // After the outermost read: acts on the reader's phase, reads what waited
  // while the socket was paused, and ends the request on a deferred close.
  void FinishReceive(uintptr_t serial);
  void SocketSessionClosed(uint16_t error);
  void RelocationSessionClosed();
  void SocketErrorReported();
  void CheckSocket();
  std::string ComposeRequest(const std::string& method);
  void SendRequest();
  void AfterReceive();
  // Ends the request as failed with text, closing the connection.
  void FailRequest(const std::string& text);
  void FireDocEnd();
  // Puts back the caller's Username and Password: those of a URL or a
  // location are for that one request, not for whatever host comes next.
  void ForgetRequestCredentials();
  void PostReady();
  // Milliseconds the waiting Get may still sleep before a limit is due;
  // fails the request when a limit has passed.
  int CheckTimeLimits();
  // Asserts how the flags below go with state_ while a request is under way.
  void AssertInvariants() const;

  std::unique_ptr<platform::MessageWindow> window_;
  class ClientSocket;
  std::unique_ptr<ClientSocket> socket_;
  ResponseReader reader_;
  ReceiveStream* receive_stream_ = nullptr;

  THttpState state_ = httpIdle;
  THttpRequest request_type_ = httpGET;
  // Bumped whenever a request starts or ends early, so that messages posted
  // for an older request are ignored.
  uintptr_t serial_ = 0;

  RequestTarget request_;
  Relocation pending_relocation_;
  // Kept with the client's documented fields; nothing here reads it.
  bool connected_ = false;
  bool relocating_ = false;  // a location line was read
  bool closing_for_relocation_ = false;
  bool awaiting_relocate_ = false;  // the next lookup is posted
  // OnHeaderBegin has fired without its OnHeaderEnd. The reader's own flag
  // cannot stand in: Stop clears it, and a request that fails inside the
  // header still owes OnHeaderEnd.
  bool header_in_progress_ = false;
  bool doc_begun_ = false;
  bool body_received_ = false;
  bool ending_ = false;             // the end of this request is decided
  bool close_deferred_ = false;     // the close came while the reader was busy
  bool paused_for_reader_ = false;  // the socket waits for the reader
  int relocations_ = 0;
  bool send_credentials_ = true;  // false after a relocation to another server
  std::string caller_username_;   // Username and Password before the request
  std::string caller_password_;
  std::string failure_;  // non-empty: the request ends failed with this text

  int32_t status_code_ = 0;
  std::string reason_phrase_;
  std::string content_type_;
  int64_t received_count_ = 0;
  int64_t body_blocks_ = 0;
  std::string location_;
  std::string document_name_;
  int32_t request_error_ = 0;
  std::string accept_ranges_;

  uint32_t phase_start_ = 0;    // start of the lookup and connection
  uint32_t last_activity_ = 0;  // last byte received or connection made
  // Bytes read from the connection, and samples (time, bytes) of it for
  // the slow-link floor, oldest first, taken every eighth of its time.
  int64_t bytes_in_ = 0;
  std::deque<std::pair<uint32_t, int64_t>> rate_samples_;
  // The slow-link check; as CheckTimeLimits, the wait or 0 when it failed.
  int CheckSlowLink(uint32_t now);
};

}  // namespace qm::http
