// Sockets and host lookups, shaped after Winsock 1.1's asynchronous model:
// non-blocking sockets whose network events arrive as messages to a
// MessageWindow, and host lookups whose replies are posted the same way.
// Error codes use the Winsock numbering on every backend (10035 would block,
// 10054 reset, 11001 host not found, ...), so callers keep one table.
// Addresses and ports are IPv4 values in network byte order.
//
// All calls belong to the loop's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::platform {

using SocketHandle = uintptr_t;
inline constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// 0 is never a valid lookup handle.
using LookupHandle = uintptr_t;

// Network event bits, as WSAAsyncSelect numbers them.
inline constexpr uint32_t kNetRead = 0x01;
inline constexpr uint32_t kNetWrite = 0x02;
inline constexpr uint32_t kNetOob = 0x04;
inline constexpr uint32_t kNetAccept = 0x08;
inline constexpr uint32_t kNetConnect = 0x10;
inline constexpr uint32_t kNetClose = 0x20;

// Error codes (Winsock numbering).
inline constexpr int kSockErrInterrupted = 10004;
inline constexpr int kSockErrBadHandle = 10009;
inline constexpr int kSockErrAccess = 10013;
inline constexpr int kSockErrFault = 10014;
inline constexpr int kSockErrInvalid = 10022;
inline constexpr int kSockErrTooManyFiles = 10024;
inline constexpr int kSockErrWouldBlock = 10035;
inline constexpr int kSockErrInProgress = 10036;
inline constexpr int kSockErrAlready = 10037;
inline constexpr int kSockErrNotSocket = 10038;
inline constexpr int kSockErrSocketTypeNotSupported = 10044;
inline constexpr int kSockErrOpNotSupported = 10045;
inline constexpr int kSockErrAddrInUse = 10048;
inline constexpr int kSockErrAddrNotAvail = 10049;
inline constexpr int kSockErrNetDown = 10050;
inline constexpr int kSockErrNetUnreach = 10051;
inline constexpr int kSockErrConnAborted = 10053;
inline constexpr int kSockErrConnReset = 10054;
inline constexpr int kSockErrNoBufs = 10055;
inline constexpr int kSockErrIsConn = 10056;
inline constexpr int kSockErrNotConn = 10057;
inline constexpr int kSockErrShutdown = 10058;
inline constexpr int kSockErrTimedOut = 10060;
inline constexpr int kSockErrConnRefused = 10061;
inline constexpr int kSockErrHostDown = 10064;
inline constexpr int kSockErrHostUnreach = 10065;
inline constexpr int kSockErrNotInitialised = 10093;
inline constexpr int kSockErrHostNotFound = 11001;
inline constexpr int kSockErrTryAgain = 11002;
inline constexpr int kSockErrNoRecovery = 11003;
inline constexpr int kSockErrNoData = 11004;

// Socket types.
inline constexpr int kSockStream = 1;
inline constexpr int kSockDgram = 2;
inline constexpr int kSockRaw = 3;

// Keeps the socket library loaded while at least one user holds it. The
// library itself is loaded on the first call of LoadSocketLibrary; the last
// release unloads it.
void AcquireSocketLibrary();
void ReleaseSocketLibrary();
// Loads and starts the library if needed. false with a readable text (for
// instance "Unable to load wsock32.dll Error #126") when it cannot; every
// other call below fails with kSockErrNotInitialised until this succeeds.
bool LoadSocketLibrary(std::string* error_text);

// The last error of the calling thread, as the last failing call left it.
int SocketLastError();
void SetSocketLastError(int error);

// Starts looking up name; the reply is posted to window as message with
// wparam = the returned handle and lparam = error << 16 (0 on success). 0
// when the lookup cannot start (SocketLastError tells why).
LookupHandle StartHostLookup(uintptr_t window, uint32_t message, const std::string& name);
// Cancels a lookup: no reply reaches the window afterwards (one already
// queued is the caller's to ignore). false when it had already finished.
bool CancelHostLookup(LookupHandle lookup);
// The addresses of a finished lookup, in the reply's order, and forgets it.
std::vector<uint32_t> TakeHostLookupResult(LookupHandle lookup);
// Blocking lookup of the first address; false with SocketLastError set.
bool ResolveHostBlocking(const std::string& name, uint32_t* address);
// Service and protocol tables; false when the name is unknown.
bool LookupService(const std::string& name, const std::string& protocol, uint16_t* port);
bool LookupProtocol(const std::string& name, int* protocol);

// A new non-blocking IPv4 socket; kInvalidSocket on failure.
SocketHandle OpenSocket(int type, int protocol);
// Event bits (kNet...) to deliver to window as message with wparam = socket
// and lparam = events | error << 16; 0 stops delivery. Like WSAAsyncSelect:
// read is re-armed by each Receive, write after a send that would block.
bool SelectEvents(SocketHandle socket, uintptr_t window, uint32_t message, uint32_t events);
bool SetReuseAddress(SocketHandle socket, bool on);
bool SetNoDelay(SocketHandle socket, bool on);
bool SetLinger(SocketHandle socket, bool on, int seconds);
bool SetKeepAlive(SocketHandle socket, bool on);
bool BindSocket(SocketHandle socket, uint32_t address, uint16_t port);
bool GetLocalName(SocketHandle socket, uint32_t* address, uint16_t* port);
bool GetPeerName(SocketHandle socket, uint32_t* address, uint16_t* port);
// 0, or -1 with SocketLastError (kSockErrWouldBlock while connecting).
int ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port);
// Bytes sent or received, or -1 with SocketLastError; Receive gives 0 at the
// end of the stream. flags: 1 for out-of-band data.
int SendSocket(SocketHandle socket, const void* data, int length, int flags);
int ReceiveSocket(SocketHandle socket, void* buffer, int size, int flags);
// Bytes waiting to be read; false on failure.
bool BytesAvailable(SocketHandle socket, uint32_t* count);
bool ShutdownSocket(SocketHandle socket, int how);
// Closes the handle; the window receives no event for it afterwards. Handle
// values are never reused, so an event of it still queued can never be
// taken for a later socket's.
bool CloseSocket(SocketHandle socket);

}  // namespace qm::platform
