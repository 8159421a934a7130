#include "http/socket/wsocket.h"

#include <string>
#include <utility>

#include "http/socket/address_text.h"
#include "util/ascii.h"

namespace qm::http {
namespace {

constexpr char kDefaultProto[] = "tcp";
constexpr char kAnyAddress[] = "0.0.0.0";
constexpr char kAnyPort[] = "0";
constexpr char kDefaultSocksLevel[] = "5";

constexpr uint32_t kSelectedEvents = kFdRead | kFdWrite | kFdAccept | kFdConnect | kFdClose;

bool IsSendClosingError(int error) {
  return error == platform::kSockErrInvalid || error == platform::kSockErrNotSocket ||
         error == platform::kSockErrConnAborted || error == platform::kSockErrConnReset ||
         error == platform::kSockErrNotConn;
}

std::string PlatformErrorText(int code, const std::string& function_name) {
  return "Error " + std::to_string(code) + " in function " + function_name + "\r\n" +
         WSocketErrorDesc(code);
}

}  // namespace

TWSocket::TWSocket() : alive_(std::make_shared<bool>(true)) {
  platform::AcquireSocketLibrary();
  try {
    window_ = std::make_unique<platform::MessageWindow>(
        [this](const platform::Message& message) { Dispatch(message); });
  } catch (const std::exception& e) {
    platform::ReleaseSocketLibrary();
    throw ESocketException(std::string("Cannot create a hidden window for TWSocket: ") + e.what());
  }
}

TWSocket::~TWSocket() {
  destroying_ = true;
  *alive_ = false;
  // Both report failures through the error path, which may raise; a
  // destructor must not, and the socket goes away all the same.
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  try {
    DoClose(true, 0);  // no OnSessionClosed while destroying
  } catch (...) {
  }
  window_.reset();
  platform::ReleaseSocketLibrary();
}

uintptr_t TWSocket::WindowHandle() const {
  return window_->native_handle();
}

// ---------------------------------------------------------------------------
// Properties

void TWSocket::ChangeWhileClosed(const char* name,
                                 std::string& field,
                                 bool* assigned,
                                 bool* resolved,
                                 const std::string& value) {
  if (*assigned && field == value) {
    return;
  }
  if (state_ != wsClosed) {
    ReportError(std::string("Cannot change ") + name + " if not closed");
    return;
  }
  field = value;
  *assigned = !value.empty();
  *resolved = false;
}

void TWSocket::SetAddr(const std::string& value) {
  ChangeWhileClosed("Addr", addr_, &addr_assigned_, &addr_resolved_,
                    std::string(TrimAsciiBlanks(value)));
}

void TWSocket::SetPort(const std::string& value) {
  ChangeWhileClosed("Port", port_, &port_assigned_, &port_resolved_,
                    std::string(TrimAsciiBlanks(value)));
}

void TWSocket::SetProto(const std::string& value) {
  ChangeWhileClosed("Proto", proto_, &proto_assigned_, &proto_resolved_,
                    std::string(TrimAsciiBlanks(value)));
}

void TWSocket::SetLocalAddr(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Cannot change LocalAddr if not closed");
    return;
  }
  local_addr_ = value.empty() ? "0.0.0.0" : value;
}

void TWSocket::SetLocalPort(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Cannot change LocalPort if not closed");
    return;
  }
  local_port_ = value;
  local_port_resolved_ = false;
}

void TWSocket::SetSendFlags(TSocketSendFlags value) {
  if (value != wsSendNormal && value != wsSendUrgent) {
    ReportError("Invalid SendFlags");
    return;
  }
  send_flags_ = value;
}

void TWSocket::SetSocksServer(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Can't change socks server if not closed");
    return;
  }
  socks_server_ = std::string(TrimAsciiBlanks(value));
}

void TWSocket::SetSocksPort(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Can't change socks port if not closed");
    return;
  }
  socks_port_ = std::string(TrimAsciiBlanks(value));
}

void TWSocket::SetSocksLevel(const std::string& value) {
  if (state_ != wsClosed) {
    ReportError("Can't change socks level if not closed");
    return;
  }
  if (value != "4" && value != "4A" && value != "4a" && value != "5") {
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socks_level_ = value;
}

std::string TWSocket::PeerAddr() const {
  uint32_t address = 0;
  uint16_t port = 0;
  if (state_ != wsConnected || !platform::GetPeerName(handle_, &address, &port)) {
    return "error";
  }
  return DottedAddress(address);
}

std::string TWSocket::PeerPort() const {
  uint32_t address = 0;
  uint16_t port = 0;
  if (state_ != wsConnected || !platform::GetPeerName(handle_, &address, &port)) {
    return "error";
  }
  return std::to_string(NetworkToHost16(port));
}

int32_t TWSocket::RcvdCount() const {
  uint32_t count = 0;
  if (handle_ == platform::kInvalidSocket || !platform::BytesAvailable(handle_, &count)) {
    return -1;
  }
  return static_cast<int32_t>(count);
}

void TWSocket::ResetDefaults() {
  addr_assigned_ = false;
  addr_resolved_ = false;
  port_assigned_ = false;
  port_resolved_ = false;
  proto_ = kDefaultProto;
  proto_assigned_ = true;
  proto_resolved_ = false;
  local_addr_ = kAnyAddress;
  local_port_ = kAnyPort;
  local_port_resolved_ = false;
  linger_on_off_ = wsLingerOn;
  linger_timeout_ = 0;
  read_count_ = 0;
  selected_events_ = 0;
  all_sent_ = true;
  paused_ = false;
  close_invoked_ = false;
  flush_timeout_ = 60;
  socks_server_.clear();
  socks_port_.clear();
  socks_level_ = kDefaultSocksLevel;
}

// ---------------------------------------------------------------------------
// Events and errors

void TWSocket::TriggerSessionConnected(uint16_t error) {
  if (OnSessionConnected) {
    OnSessionConnected(this, error);
  }
}

void TWSocket::TriggerSessionClosed(uint16_t error) {
  if (OnSessionClosed) {
    OnSessionClosed(this, error);
  }
}

void TWSocket::TriggerSessionAvailable(uint16_t error) {
  if (OnSessionAvailable) {
    OnSessionAvailable(this, error);
  }
}

bool TWSocket::TriggerDataAvailable(uint16_t error) {
  if (!OnDataAvailable) {
    return false;
  }
  OnDataAvailable(this, error);
  return true;
}

void TWSocket::TriggerDataSent(uint16_t error) {
  if (OnDataSent) {
    OnDataSent(this, error);
  }
}

void TWSocket::TriggerDnsLookupDone(uint16_t error) {
  if (OnDnsLookupDone) {
    OnDnsLookupDone(this, error);
  }
}

void TWSocket::TriggerSendData(int32_t bytes_sent) {
  if (OnSendData) {
    OnSendData(this, bytes_sent);
  }
}

void TWSocket::TriggerChangeState(TSocketState old_state, TSocketState new_state) {
  if (OnChangeState) {
    OnChangeState(this, old_state, new_state);
  }
}

void TWSocket::TriggerError() {
  if (OnError) {
    OnError(this);
  }
}

void TWSocket::ReportError(const std::string& text) {
  if (OnError) {
    last_error_text_ = text;
    TriggerError();
    return;
  }
  throw ESocketException(text);
}

void TWSocket::SocketError(const std::string& function_name) {
  int code = platform::SocketLastError();
  std::string text = PlatformErrorText(code, function_name);
  if ((code == platform::kSockErrConnReset || code == platform::kSockErrNotConn) &&
      handle_ != platform::kInvalidSocket) {
    // The connection is gone: end it here, with its one close event.
    platform::CloseSocket(handle_);
    handle_ = platform::kInvalidSocket;
    last_error_ = code;
    EndConnection(code);
  }
  last_error_ = code;
  ReportError(text);
}

void TWSocket::ChangeState(TSocketState new_state) {
  TSocketState old_state = state_;
  state_ = new_state;
  if (old_state != new_state) {
    TriggerChangeState(old_state, new_state);
  }
}

// Moves to wsClosed after the handle is gone, fires the connection's one
// OnSessionClosed, and resets the defaults unless a handler has already
// started something new.
void TWSocket::EndConnection(int error) {
  std::shared_ptr<bool> alive = alive_;
  ChangeState(wsClosed);
  if (!*alive) {
    return;
  }
  if (!destroying_ && !close_invoked_ && handle_ == platform::kInvalidSocket) {
    close_invoked_ = true;
    try {
      TriggerSessionClosed(static_cast<uint16_t>(error));
    } catch (...) {
      // The connection is over all the same: the next one must report its
      // own close.
      if (*alive) {
        FinishClose();
      }
      throw;
    }
    if (!*alive) {
      return;
    }
  }
  FinishClose();
}

void TWSocket::FinishClose() {
  if (handle_ == platform::kInvalidSocket && state_ == wsClosed) {
    ResetDefaults();
  }
}

void TWSocket::Dispatch(const platform::Message& message) {
  try {
    WndProc(message);
  } catch (const std::exception& e) {
    HandleBgException(e);
  }
}

void TWSocket::HandleBgException(const std::exception& e) {
  bool can_close = true;
  // This runs from the message loop's handler of a failure: an exception
  // raised here, by the application's handler or by the abort's own error
  // report, has nowhere left to go, and the socket is closed all the same.
  if (OnBgException) {
    try {
      OnBgException(this, e, can_close);
    } catch (...) {
    }
  }
  if (can_close) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

void TWSocket::WndProc(const platform::Message& message) {
  switch (message.id) {
    case kWmAsyncSelect: {
      uint32_t lparam = static_cast<uint32_t>(message.lparam);
      HandleNetworkEvent(message.wparam, lparam & 0xFFFF, static_cast<uint16_t>(lparam >> 16));
      break;
    }
    case kWmAsyncGetHostByName:
      HandleLookupReply(message.wparam,
                        static_cast<uint16_t>(static_cast<uint32_t>(message.lparam) >> 16));
      break;
    case kWmCloseDelayed:
      Close();
      break;
    case kWmTestException:
      throw ESocketException("Test exception in WSocket");
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Host lookup

void TWSocket::DnsLookup(const std::string& host_name) {
  std::string library_error;
  if (!platform::LoadSocketLibrary(&library_error)) {
    throw ESocketException(library_error);
  }
  if (host_name.empty()) {
    last_error_ = platform::kSockErrInvalid;
    ReportError("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(platform::kSockErrInvalid);
    return;
  }
  if (dns_lookup_handle_ != 0) {
    // Replaced: the old lookup ends without an event.
    platform::CancelHostLookup(dns_lookup_handle_);
    platform::TakeHostLookupResult(dns_lookup_handle_);
    dns_lookup_handle_ = 0;
  }
  dns_result_.clear();
  dns_result_list_.clear();
  uint32_t address = 0;
  if (ParseDottedAddress(host_name, &address) && address != 0xFFFFFFFFu) {
    dns_result_ = DottedAddress(address);
    dns_result_list_.push_back(dns_result_);
    TriggerDnsLookupDone(0);
    return;
  }
  platform::LookupHandle lookup =
      platform::StartHostLookup(WindowHandle(), kWmAsyncGetHostByName, host_name);
  if (lookup == 0) {
    int code = platform::SocketLastError();
    last_error_ = code;
    ReportError(host_name + ": can't start DNS lookup, error #" + std::to_string(code));
    TriggerDnsLookupDone(static_cast<uint16_t>(code));
    return;
  }
  dns_lookup_handle_ = lookup;
}

void TWSocket::CancelDnsLookup() {
  if (dns_lookup_handle_ == 0) {
    return;
  }
  platform::LookupHandle lookup = dns_lookup_handle_;
  dns_lookup_handle_ = 0;
  if (!platform::CancelHostLookup(lookup)) {
    int code = platform::SocketLastError();
    platform::TakeHostLookupResult(lookup);
    // A lookup that has just finished is cancelled all the same: its queued
    // reply no longer matches.
    if (code != platform::kSockErrAlready) {
      last_error_ = code;
      ReportError(PlatformErrorText(code, "WSACancelAsyncRequest"));
    }
  }
  if (!destroying_) {
    TriggerDnsLookupDone(platform::kSockErrInterrupted);
  }
}

void TWSocket::HandleLookupReply(uintptr_t lookup, uint16_t error) {
  if (lookup == 0 || lookup != dns_lookup_handle_) {
    platform::TakeHostLookupResult(lookup);
    return;
  }
  dns_lookup_handle_ = 0;
  std::vector<uint32_t> addresses = platform::TakeHostLookupResult(lookup);
  if (error == 0) {
    dns_result_list_.clear();
    for (uint32_t address : addresses) {
      dns_result_list_.push_back(DottedAddress(address));
    }
    if (dns_result_list_.empty()) {
      error = platform::kSockErrNoData;
    } else {
      dns_result_ = dns_result_list_.front();
    }
  }
  TriggerDnsLookupDone(error);
}

// ---------------------------------------------------------------------------
// Connecting

void TWSocket::Connect() {
  std::string library_error;
  if (!platform::LoadSocketLibrary(&library_error)) {
    throw ESocketException(library_error);
  }
  if (handle_ != platform::kInvalidSocket && state_ != wsClosed) {
    ReportError("Connect: Socket already in use");
    return;
  }
  if (!port_assigned_) {
    return ConnectFailed("Connect: No Port Specified", platform::kSockErrInvalid);
  }
  if (!addr_assigned_) {
    return ConnectFailed("Connect: No IP Address Specified", platform::kSockErrInvalid);
  }
  if (!proto_assigned_) {
    return ConnectFailed("Connect: No Protocol Specified", platform::kSockErrInvalid);
  }
  if (!socks_server_.empty()) {
    return ConnectFailed("Connect: SOCKS servers are not supported",
                         platform::kSockErrOpNotSupported);
  }

  uint32_t local_address = 0;
  try {
    platform::SetSocketLastError(0);
    if (!proto_resolved_) {
      protocol_ = WSocketResolveProto(proto_);
      socket_type_ = protocol_ == 6    ? platform::kSockStream
                     : protocol_ == 17 ? platform::kSockDgram
                                       : platform::kSockRaw;
      proto_resolved_ = true;
    }
    if (!port_resolved_) {
      sin_port_ = WSocketResolvePort(port_, proto_);
      port_resolved_ = true;
    }
    if (!local_port_resolved_) {
      local_port_n_ = WSocketResolvePort(local_port_, proto_);
      local_port_resolved_ = true;
    }
    if (!addr_resolved_) {
      sin_addr_ = WSocketResolveHost(addr_);
      addr_resolved_ = true;
    }
    if (local_addr_ != "0.0.0.0") {
      local_address = WSocketResolveHost(local_addr_);
    }
  } catch (const ESocketException& e) {
    int code = platform::SocketLastError();
    return ConnectFailed(std::string("connect: ") + e.what(),
                         code != 0 ? code : platform::kSockErrInvalid);
  }
  if (socket_type_ != platform::kSockStream) {
    return ConnectFailed("Connect: only tcp is supported",
                         platform::kSockErrSocketTypeNotSupported);
  }

  DeleteBufferedData();
  handle_ = platform::OpenSocket(socket_type_, protocol_);
  if (handle_ == platform::kInvalidSocket) {
    return ConnectFailedPlatform("Connect (socket)");
  }

  ChangeState(wsOpened);
  if (state_ != wsOpened) {
    platform::SetSocketLastError(platform::kSockErrInvalid);
    if (handle_ == platform::kInvalidSocket && state_ == wsClosed) {
      // The handler closed the socket and has had its OnSessionClosed.
      last_error_ = platform::kSockErrInvalid;
      ReportError(PlatformErrorText(platform::kSockErrInvalid,
                                    "Connect (Invalid operation in OnChangeState)"));
      return;
    }
    return ConnectFailedPlatform("Connect (Invalid operation in OnChangeState)");
  }
  if (!platform::SetReuseAddress(handle_, true)) {
    return ConnectFailedPlatform("setsockopt(SO_REUSEADDR)");
  }
  if ((component_options_ & wsoTcpNoDelay) && !platform::SetNoDelay(handle_, true)) {
    return ConnectFailedPlatform("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
  }
  if (linger_on_off_ != wsLingerNoSet &&
      !platform::SetLinger(handle_, linger_on_off_ == wsLingerOn, linger_timeout_)) {
    return ConnectFailedPlatform("setsockopt(SO_LINGER)");
  }
  if (!platform::SetKeepAlive(handle_, true)) {
    return ConnectFailedPlatform("setsockopt(SO_KEEPALIVE)");
  }
  if (local_port_n_ != 0 || local_addr_ != "0.0.0.0") {
    if (!platform::BindSocket(handle_, local_address, local_port_n_)) {
      int code = platform::SocketLastError();
      return ConnectFailed("winsock.bind failed, error #" + std::to_string(code), code);
    }
    uint32_t bound_address = 0;
    uint16_t bound_port = 0;
    if (!platform::GetLocalName(handle_, &bound_address, &bound_port)) {
      int code = platform::SocketLastError();
      return ConnectFailed("winsock.getsockname failed, error #" + std::to_string(code), code);
    }
    local_port_ = std::to_string(NetworkToHost16(bound_port));
  }
  selected_events_ = kSelectedEvents;
  if (!platform::SelectEvents(handle_, WindowHandle(), kWmAsyncSelect, selected_events_)) {
    return ConnectFailedPlatform("WSAAsyncSelect");
  }
  if (platform::ConnectSocket(handle_, sin_addr_, sin_port_) != 0 &&
      platform::SocketLastError() != platform::kSockErrWouldBlock) {
    return ConnectFailedPlatform("Connect");
  }
  ChangeState(wsConnecting);
}

void TWSocket::ConnectFailedPlatform(const std::string& function_name) {
  int code = platform::SocketLastError();
  ConnectFailed(PlatformErrorText(code, function_name), code);
}

// A connection attempt that fails before the platform takes it ends like one
// that the platform refuses: OnSessionConnected with the error, then the one
// OnSessionClosed. Without an OnError handler the report raises instead.
void TWSocket::ConnectFailed(const std::string& text, int error) {
  if (handle_ != platform::kInvalidSocket) {
    platform::CloseSocket(handle_);
    handle_ = platform::kInvalidSocket;
  }
  last_error_ = error;
  std::shared_ptr<bool> alive = alive_;
  ReportError(text);
  if (!*alive || handle_ != platform::kInvalidSocket) {
    return;
  }
  TriggerSessionConnected(static_cast<uint16_t>(error));
  if (!*alive || handle_ != platform::kInvalidSocket) {
    return;
  }
  EndConnection(error);
}

// ---------------------------------------------------------------------------
// Network events

void TWSocket::HandleNetworkEvent(uintptr_t handle, uint32_t events, uint16_t error) {
  if (handle != handle_ || handle == platform::kInvalidSocket || paused_) {
    return;
  }
  std::shared_ptr<bool> alive = alive_;
  auto still_current = [&] { return *alive && handle_ == handle; };

  if ((events & kFdConnect) && state_ != wsConnected) {
    ChangeState(wsConnected);
    TriggerSessionConnected(error);
    if (!still_current()) {
      return;
    }
    if (error != 0) {
      DoClose(true, error);
      return;
    }
  }
  if (events & kFdRead) {
    if (state_ != wsConnected) {
      ChangeState(wsConnected);
      TriggerSessionConnected(error);
      if (!still_current()) {
        return;
      }
    }
    ReceiveLoop(error, component_options_);
    if (!still_current()) {
      return;
    }
  }
  if (events & kFdWrite) {
    TryToSend();
    if (!still_current()) {
      return;
    }
    if (all_sent_) {
      TriggerDataSent(error);
      if (!still_current()) {
        return;
      }
    }
  }
  if (events & kFdAccept) {
    TriggerSessionAvailable(error);
    if (!still_current()) {
      return;
    }
  }
  if ((events & kFdClose) && state_ != wsConnecting) {
    ReceiveLoop(0, component_options_ & ~wsoNoReceiveLoop);
    if (!still_current()) {
      return;
    }
    // Some stacks announce a reset peer as a plain close; the last read
    // tells the truth.
    if (error == 0 && (last_error_ == platform::kSockErrConnAborted ||
                       last_error_ == platform::kSockErrConnReset)) {
      error = static_cast<uint16_t>(last_error_);
    }
    DoClose(true, error);
  }
}

void TWSocket::ReceiveLoop(uint16_t error, TWSocketOptions options) {
  std::shared_ptr<bool> alive = alive_;
  uintptr_t handle = handle_;
  for (;;) {
    uint32_t read_before = read_count_;
    last_error_ = 0;
    try {
      if (!TriggerDataAvailable(error) && *alive && handle_ == handle) {
        char discard[1024];
        if (Receive(discard, sizeof(discard)) < 0 && last_error_ == platform::kSockErrWouldBlock) {
          last_error_ = 0;
          return;
        }
      }
    } catch (const std::exception& e) {
      // A failing data handler must not leave its caller waiting for more.
      if (*alive) {
        HandleBgException(e);
      }
      return;
    }
    if (!*alive || handle_ != handle) {
      return;
    }
    if (options & wsoNoReceiveLoop) {
      return;
    }
    if (last_error_ != 0) {
      return;
    }
    // A handler that leaves the data unread would otherwise be called forever.
    if (read_count_ == read_before) {
      return;
    }
    uint32_t waiting = 0;
    if (!platform::BytesAvailable(handle_, &waiting)) {
      last_error_ = platform::SocketLastError();
      return;
    }
    if (waiting == 0) {
      return;
    }
  }
}

int TWSocket::Receive(void* buffer, int size) {
  int count = platform::ReceiveSocket(handle_, buffer, size, 0);
  if (count < 0) {
    last_error_ = platform::SocketLastError();
  } else {
    read_count_ += static_cast<uint32_t>(count);
  }
  return count;
}

std::string TWSocket::ReceiveStr() {
  int32_t waiting = RcvdCount();
  if (waiting < 0) {
    return std::string();
  }
  std::string data(waiting == 0 ? 255 : static_cast<size_t>(waiting), '\0');
  int count = Receive(data.data(), static_cast<int>(data.size()));
  data.resize(count > 0 ? static_cast<size_t>(count) : 0);
  return data;
}

// ---------------------------------------------------------------------------
// Sending

int TWSocket::Send(const void* data, int length) {
  if (state_ != wsConnected) {
    platform::SetSocketLastError(platform::kSockErrNotConn);
    SocketError("Send");
    return -1;
  }
  all_sent_ = false;
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    if (buf_list_.empty()) {
      buf_list_.emplace_back(kSocketSendBufferSize);
    }
    int written = buf_list_.back().Write(bytes, length);
    if (written == 0) {
      buf_list_.emplace_back(kSocketSendBufferSize);
      continue;
    }
    bytes += written;
    length -= written;
  }
  int queued = static_cast<int>(bytes - static_cast<const char*>(data));
  uintptr_t handle = handle_;
  std::shared_ptr<bool> alive = alive_;
  TryToSend();
  // OnDataSent always comes from the loop, never from inside Send.
  if (*alive && all_sent_ && handle_ == handle && handle != platform::kInvalidSocket) {
    window_->Post(kWmAsyncSelect, handle, static_cast<intptr_t>(kFdWrite));
  }
  return queued;
}

int TWSocket::SendStr(const std::string& data) {
  return Send(data.data(), static_cast<int>(data.size()));
}

void TWSocket::TryToSend() {
  if (handle_ == platform::kInvalidSocket) {
    return;
  }
  if (buf_list_.empty()) {
    all_sent_ = true;
    return;
  }
  std::shared_ptr<bool> alive = alive_;
  uintptr_t handle = handle_;
  for (;;) {
    TBuffer& buffer = buf_list_.front();
    const char* data = nullptr;
    int length = buffer.Peek(&data);
    if (length == 0) {
      if (buf_list_.size() > 1) {
        buf_list_.pop_front();
        continue;
      }
      all_sent_ = true;
      return;
    }
    int sent = platform::SendSocket(handle_, data, length, send_flags_ == wsSendUrgent ? 1 : 0);
    if (sent == 0) {
      return;
    }
    if (sent > 0) {
      buffer.Remove(sent);
      TriggerSendData(sent);
      if (!*alive || handle_ != handle) {
        return;
      }
      // After a short send the next call either goes on or would block,
      // which is what makes the platform announce the next write event.
      continue;
    }
    int code = platform::SocketLastError();
    if (code == platform::kSockErrWouldBlock) {
      return;
    }
    if (IsSendClosingError(code)) {
      CloseAfterSendError(code);
      return;
    }
    // Unsent data is lost: end the connection rather than leave the peer
    // and the caller waiting for each other.
    last_error_ = code;
    DeleteBufferedData();
    platform::CloseSocket(handle_);
    handle_ = platform::kInvalidSocket;
    ReportError(PlatformErrorText(code, "TryToSend failed"));
    if (*alive && handle_ == platform::kInvalidSocket) {
      EndConnection(code);
    }
    return;
  }
}

void TWSocket::CloseAfterSendError(int error) {
  last_error_ = error;
  DeleteBufferedData();
  DoClose(false, error);
}

void TWSocket::DeleteBufferedData() {
  buf_list_.clear();
}

// ---------------------------------------------------------------------------
// Closing

void TWSocket::Close() {
  DoClose(true, 0);
}

void TWSocket::DoClose(bool shutdown_first, int error) {
  if (handle_ != platform::kInvalidSocket) {
    if (state_ == wsClosed) {
      return;
    }
    if (shutdown_first) {
      platform::ShutdownSocket(handle_, 1);
    }
    uintptr_t handle = handle_;
    handle_ = platform::kInvalidSocket;
    int close_error = platform::CloseSocket(handle) ? 0 : platform::SocketLastError();
    std::shared_ptr<bool> alive = alive_;
    EndConnection(error);
    // The handle is gone either way; a failure is still told.
    if (*alive && close_error != 0 && close_error != platform::kSockErrNotInitialised) {
      last_error_ = close_error;
      ReportError(PlatformErrorText(close_error, "Disconnect (closesocket)"));
    }
    return;
  }
  if (state_ != wsClosed) {
    ChangeState(wsClosed);
    ResetDefaults();
  }
}

void TWSocket::CloseDelayed() {
  window_->Post(kWmCloseDelayed);
}

void TWSocket::Abort() {
  // A failed cancel is reported (and may raise); the abort goes on to close
  // the socket, which is what its caller needs.
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  DeleteBufferedData();
  if (state_ == wsConnected && socket_type_ == platform::kSockStream &&
      handle_ != platform::kInvalidSocket) {
    linger_on_off_ = wsLingerOff;
    platform::SetLinger(handle_, false, 0);
  }
  DoClose(false, 0);
}

void TWSocket::Shutdown(int how) {
  if (handle_ != platform::kInvalidSocket) {
    platform::ShutdownSocket(handle_, how);
  }
}

void TWSocket::Pause() {
  paused_ = true;
  if (handle_ != platform::kInvalidSocket) {
    platform::SelectEvents(handle_, WindowHandle(), kWmAsyncSelect, 0);
  }
}

void TWSocket::Resume() {
  paused_ = false;
  if (handle_ != platform::kInvalidSocket) {
    platform::SelectEvents(handle_, WindowHandle(), kWmAsyncSelect, selected_events_);
  }
}

void TWSocket::MessagePump() {
  platform::ProcessMessages();
}

}  // namespace qm::http
