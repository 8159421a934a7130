#include "platform/posix/net/socket_errors.h"

#include <netdb.h>

#include <cerrno>
#include <string>

#include "platform/socket.h"

namespace qm::platform {
namespace {

thread_local int g_last_error = 0;

}  // namespace

int SocketLastError() {
  return g_last_error;
}

void SetSocketLastError(int error) {
  g_last_error = error;
}

// The library is part of the C runtime here: nothing to load or count.
void AcquireSocketLibrary() {}
void ReleaseSocketLibrary() {}
bool LoadSocketLibrary(std::string* error_text) {
  return true;
}

namespace posix {

int WinsockErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case EINTR:
      return kSockErrInterrupted;
    case EBADF:
    case ENOTSOCK:
      return kSockErrNotSocket;
    case EACCES:
    case EPERM:
      return kSockErrAccess;
    case EFAULT:
      return kSockErrFault;
    case EINVAL:
      return kSockErrInvalid;
    case EMFILE:
    case ENFILE:
      return kSockErrTooManyFiles;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
      return kSockErrWouldBlock;
    case EALREADY:
      return kSockErrAlready;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return kSockErrAddrInUse;
    case EADDRNOTAVAIL:
      return kSockErrAddrNotAvail;
    case ENETDOWN:
      return kSockErrNetDown;
    case ENETUNREACH:
      return kSockErrNetUnreach;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
    case EPIPE:  // the connection is gone; Winsock says aborted or reset
      return kSockErrConnAborted;
    case ECONNRESET:
      return kSockErrConnReset;
    case ENOBUFS:
    case ENOMEM:
      return kSockErrNoBufs;
    case EISCONN:
      return kSockErrIsConn;
    case ENOTCONN:
      return kSockErrNotConn;
    case ESHUTDOWN:
      return kSockErrShutdown;
    case ETIMEDOUT:
      return kSockErrTimedOut;
    case ECONNREFUSED:
      return kSockErrConnRefused;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return kSockErrHostDown;
    case EHOSTUNREACH:
      return kSockErrHostUnreach;
    default:
      return kSockErrInvalid;
  }
}

int WinsockErrorFromResolver(int gai_error, int saved_errno) {
  switch (gai_error) {
    case 0:
      return 0;
    case EAI_NONAME:
      return kSockErrHostNotFound;
    case EAI_AGAIN:
      return kSockErrTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return kSockErrNoData;
    case EAI_MEMORY:
      return kSockErrNoBufs;
    case EAI_SYSTEM:
      return saved_errno != 0 ? WinsockErrorFromErrno(saved_errno) : kSockErrNoRecovery;
    default:
      return kSockErrNoRecovery;
  }
}

void SetLastErrorFromErrno() {
  g_last_error = WinsockErrorFromErrno(errno);
}

}  // namespace posix
}  // namespace qm::platform
