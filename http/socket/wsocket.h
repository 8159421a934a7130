// TWSocket: a non-blocking TCP socket component driven by the message loop.
// Lookups, connects, reads, writes and closes never block the thread; every
// network event arrives as a message to the socket's own MessageWindow and is
// turned into one of the On... events below, fired through a Trigger...
// method. Outgoing data waits in a queue of TBuffer blocks of 1460 bytes.
//
// Errors: operation errors are reported through OnError when it is assigned,
// otherwise raised as ESocketException. Errors that come with a network event
// are the Error argument of that event. A failure that ends a lookup or a
// connection always ends in OnDnsLookupDone or OnSessionClosed, so a caller
// waiting for one of them is never left waiting. An exception that escapes a
// handler run from the loop (OnDataAvailable included) goes to OnBgException;
// unless that handler clears CanClose the socket is then aborted, which ends
// the connection with its OnSessionClosed.
//
// Not built (the updater never uses them): listening and accepting,
// datagrams, multicast, reverse lookups, line mode, blocking waits, the
// socket's own message loop and SOCKS negotiation (a SOCKS server set is
// refused by Connect).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "platform/socket.h"

namespace qm::http {

// The socket layer's error: a message only.
class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TSocketState : uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7,
};

enum TSocketSendFlags : uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff : uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocksAuthentication : uint8_t { socksNoAuthentication, socksAuthenticateUsercode };

// TWSocketOptions is a set of TWSocketOption bits.
enum TWSocketOption : uint8_t {
  wsoNoReceiveLoop = 1,  // one read per notification
  wsoTcpNoDelay = 2,     // disable send coalescing
};
using TWSocketOptions = uint8_t;

// Messages of a socket's hidden window.
inline constexpr uint32_t kWmAsyncSelect = platform::kUserMessage + 1;         // 1025
inline constexpr uint32_t kWmAsyncGetHostByName = platform::kUserMessage + 2;  // 1026
inline constexpr uint32_t kWmCloseDelayed = platform::kUserMessage + 4;        // 1028
inline constexpr uint32_t kWmTestException = platform::kUserMessage + 6;       // 1030

// Network event bits (low word of the lParam of kWmAsyncSelect).
inline constexpr uint32_t kFdRead = 0x01;
inline constexpr uint32_t kFdWrite = 0x02;
inline constexpr uint32_t kFdOob = 0x04;
inline constexpr uint32_t kFdAccept = 0x08;
inline constexpr uint32_t kFdConnect = 0x10;
inline constexpr uint32_t kFdClose = 0x20;

// Send buffer size: one network segment.
inline constexpr int kSocketSendBufferSize = 1460;

// One block of the send queue: fixed capacity, a write count and a read count.
class TBuffer {
 public:
  explicit TBuffer(int capacity);  // 0 or less means 1514

  // Copies as many bytes as fit after the written ones; returns that number.
  int Write(const void* data, int length);
  // The unread bytes and their number.
  int Peek(const char** data) const;
  // Advances the read count by at most the unread number; when everything has
  // been read both counts return to 0.
  void Remove(int count);
  // Changes the capacity, keeping the written bytes (never below them).
  void SetBufSize(int capacity);

  int BufSize() const { return static_cast<int>(data_.size()); }
  int WrCount() const { return wr_count_; }
  int RdCount() const { return rd_count_; }

 private:
  std::vector<char> data_;
  int wr_count_ = 0;
  int rd_count_ = 0;
};

// The error text of a platform error code (Winsock numbering on every
// platform), "Not a WinSock error" for unknown codes.
std::string WSocketErrorDesc(int error_code);

// Conversions used by Connect; each raises ESocketException on failure.
// Results are in network byte order.
uint32_t WSocketResolveHost(const std::string& host);
uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);
int WSocketResolveProto(const std::string& proto);

class TWSocket {
 public:
  using TNotifyEvent = std::function<void(TWSocket* sender)>;
  using TSessionEvent = std::function<void(TWSocket* sender, uint16_t error)>;
  using TSendDataEvent = std::function<void(TWSocket* sender, int32_t bytes_sent)>;
  using TChangeStateEvent =
      std::function<void(TWSocket* sender, TSocketState old_state, TSocketState new_state)>;
  using TBgExceptionEvent =
      std::function<void(TWSocket* sender, const std::exception& e, bool& can_close)>;

  TWSocket();
  virtual ~TWSocket();
  TWSocket(const TWSocket&) = delete;
  TWSocket& operator=(const TWSocket&) = delete;

  // Remote end and local binding. Setters are accepted only in wsClosed
  // (otherwise "Cannot change ... if not closed" is reported); values are
  // trimmed; setting the value already held does nothing.
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& value);
  const std::string& Proto() const { return proto_; }
  void SetProto(const std::string& value);
  const std::string& LocalAddr() const { return local_addr_; }
  void SetLocalAddr(const std::string& value);  // empty is stored as "0.0.0.0"
  const std::string& LocalPort() const { return local_port_; }
  void SetLocalPort(const std::string& value);

  // Remote end of a connected socket; "error" when not connected.
  std::string PeerAddr() const;
  std::string PeerPort() const;

  // The first address of the last lookup (dotted) and all of them.
  const std::string& DnsResult() const { return dns_result_; }
  const std::vector<std::string>& DnsResultList() const { return dns_result_list_; }

  TSocketState State() const { return state_; }
  // A 32-bit counter: past 2 GiB it turns negative, past 4 GiB it wraps.
  int32_t ReadCount() const { return static_cast<int32_t>(read_count_); }
  int32_t RcvdCount() const;  // bytes waiting in the platform's buffer, -1 on error
  int32_t LastError() const { return last_error_; }
  // The text of the last error reported through OnError.
  const std::string& LastErrorText() const { return last_error_text_; }

  bool MultiThreaded() const { return multi_threaded_; }
  void SetMultiThreaded(bool value) { multi_threaded_ = value; }
  TWSocketOptions ComponentOptions() const { return component_options_; }
  void SetComponentOptions(TWSocketOptions value) { component_options_ = value; }
  int32_t FlushTimeout() const { return flush_timeout_; }
  void SetFlushTimeout(int32_t value) { flush_timeout_ = value; }
  TSocketSendFlags SendFlags() const { return send_flags_; }
  void SetSendFlags(TSocketSendFlags value);  // other values: "Invalid SendFlags"
  TSocketLingerOnOff LingerOnOff() const { return linger_on_off_; }
  void SetLingerOnOff(TSocketLingerOnOff value) { linger_on_off_ = value; }
  int32_t LingerTimeout() const { return linger_timeout_; }
  void SetLingerTimeout(int32_t value) { linger_timeout_ = value; }

  // SOCKS settings are kept for the caller; negotiation is not built, so
  // Connect refuses a non-empty SocksServer.
  const std::string& SocksServer() const { return socks_server_; }
  void SetSocksServer(const std::string& value);
  const std::string& SocksPort() const { return socks_port_; }
  void SetSocksPort(const std::string& value);
  const std::string& SocksLevel() const { return socks_level_; }
  void SetSocksLevel(const std::string& value);
  std::string SocksUsercode;
  std::string SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;

  // The platform handle of the current socket (platform::kInvalidSocket when
  // none) and of the hidden window that receives its events.
  uintptr_t SocketHandle() const { return handle_; }
  uintptr_t WindowHandle() const;

  // Starts an asynchronous lookup; the result comes through OnDnsLookupDone
  // and DnsResult. A dotted address completes before DnsLookup returns. A new
  // lookup replaces a pending one silently.
  virtual void DnsLookup(const std::string& host_name);
  // Cancels a pending lookup; OnDnsLookupDone then runs with 10004.
  virtual void CancelDnsLookup();
  // Opens a socket and starts connecting; the result comes through
  // OnSessionConnected (a failure then closes, with OnSessionClosed).
  virtual void Connect();
  // Queues bytes and starts writing; the queued length, or -1 when not
  // connected. OnDataSent runs from the loop once the queue has drained,
  // never inside Send.
  virtual int Send(const void* data, int length);
  int SendStr(const std::string& data);
  // At most size bytes that have arrived; 0 at the end of the stream, -1 with
  // LastError set (10035 when nothing is waiting).
  virtual int Receive(void* buffer, int size);
  // Reads what RcvdCount reports (up to 255 when it reports 0).
  std::string ReceiveStr();
  // Orderly close; OnSessionClosed runs before Close returns unless it already
  // ran for this connection. Queued data not yet sent is dropped.
  virtual void Close();
  // Posts a message that closes the socket later, from the loop.
  void CloseDelayed();
  // Cancels a lookup, drops queued data, closes without shutdown.
  virtual void Abort();
  // The platform's shutdown (0 receive, 1 send, 2 both) when a socket exists.
  virtual void Shutdown(int how);
  // Stops and restarts the delivery of network events.
  void Pause();
  void Resume();
  // Processes pending messages once.
  void MessagePump();

  // Events; an unassigned event is skipped.
  TSessionEvent OnSessionConnected;
  TSessionEvent OnSessionClosed;
  TSessionEvent OnSessionAvailable;
  TSessionEvent OnDataAvailable;
  TSessionEvent OnDataSent;
  TSessionEvent OnDnsLookupDone;
  TSendDataEvent OnSendData;
  TChangeStateEvent OnChangeState;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;
  TSessionEvent OnSocksConnected;  // never fired: SOCKS is not built
  TSessionEvent OnSocksError;      // never fired: SOCKS is not built

 protected:
  virtual void TriggerSessionConnected(uint16_t error);
  virtual void TriggerSessionClosed(uint16_t error);
  virtual void TriggerSessionAvailable(uint16_t error);
  // Returns whether a handler was assigned.
  virtual bool TriggerDataAvailable(uint16_t error);
  virtual void TriggerDataSent(uint16_t error);
  virtual void TriggerDnsLookupDone(uint16_t error);
  virtual void TriggerSendData(int32_t bytes_sent);
  virtual void TriggerChangeState(TSocketState old_state, TSocketState new_state);
  virtual void TriggerError();

  virtual void WndProc(const platform::Message& message);
  virtual void HandleBgException(const std::exception& e);
  // Reports text through OnError, or raises ESocketException when unassigned.
  virtual void ReportError(const std::string& text);
  // Reports "Error <code> in function <name>" with the platform's last error.
  virtual void SocketError(const std::string& function_name);
  virtual void ResetDefaults();

 private:
  void Dispatch(const platform::Message& message);
  void ChangeState(TSocketState new_state);
  void DoClose(bool shutdown_first, int error);
  void EndConnection(int error);
  // Back to the defaults once a connection has ended and none replaced it.
  void FinishClose();
  void ConnectFailed(const std::string& text, int error);
  void ConnectFailedPlatform(const std::string& function_name);
  void HandleNetworkEvent(uintptr_t handle, uint32_t events, uint16_t error);
  void HandleLookupReply(uintptr_t lookup, uint16_t error);
  void ReceiveLoop(uint16_t error, TWSocketOptions options);
  void TryToSend();
  void DeleteBufferedData();
  void CloseAfterSendError(int error);
  void ChangeWhileClosed(const char* name,
                         std::string& field,
                         bool* assigned,
                         bool* resolved,
                         const std::string& value);

  std::unique_ptr<platform::MessageWindow> window_;
  // Cleared by the destructor; guards handlers that outlive a close.
  std::shared_ptr<bool> alive_;

  uintptr_t handle_ = platform::kInvalidSocket;
  TSocketState state_ = wsClosed;

  std::string addr_;
  std::string port_;
  std::string proto_ = "tcp";
  std::string local_addr_ = "0.0.0.0";
  std::string local_port_ = "0";
  bool addr_assigned_ = false;
  bool addr_resolved_ = false;
  bool port_assigned_ = false;
  bool port_resolved_ = false;
  bool proto_assigned_ = true;
  bool proto_resolved_ = false;
  bool local_port_resolved_ = false;
  uint32_t sin_addr_ = 0;  // network order
  uint16_t sin_port_ = 0;  // network order
  uint16_t local_port_n_ = 0;
  int protocol_ = 6;
  int socket_type_ = 1;

  std::string dns_result_;
  std::vector<std::string> dns_result_list_;
  uintptr_t dns_lookup_handle_ = 0;

  std::list<TBuffer> buf_list_;
  bool all_sent_ = true;
  bool paused_ = false;
  bool close_invoked_ = false;
  bool destroying_ = false;
  uint32_t selected_events_ = 0;

  uint32_t read_count_ = 0;  // unsigned, so that the wrap is defined
  int32_t last_error_ = 0;
  std::string last_error_text_;
  bool multi_threaded_ = false;
  TWSocketOptions component_options_ = 0;
  int32_t flush_timeout_ = 60;
  TSocketSendFlags send_flags_ = wsSendNormal;
  TSocketLingerOnOff linger_on_off_ = wsLingerOn;
  int32_t linger_timeout_ = 0;
  std::string socks_server_;
  std::string socks_port_;
  std::string socks_level_ = "5";
};

}  // namespace qm::http
