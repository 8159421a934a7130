// The functions of wsock32.dll, loaded on first use and looked up by name.
#pragma once

#include <windows.h>
#include <winsock2.h>

namespace qm::platform::win32 {

struct WsockApi {
  decltype(&::WSAStartup) WSAStartup = nullptr;
  decltype(&::WSACleanup) WSACleanup = nullptr;
  decltype(&::WSAGetLastError) WSAGetLastError = nullptr;
  decltype(&::WSASetLastError) WSASetLastError = nullptr;
  decltype(&::WSAAsyncGetHostByName) WSAAsyncGetHostByName = nullptr;
  decltype(&::WSACancelAsyncRequest) WSACancelAsyncRequest = nullptr;
  decltype(&::WSAAsyncSelect) WSAAsyncSelect = nullptr;
  decltype(&::socket) socket = nullptr;
  decltype(&::connect) connect = nullptr;
  decltype(&::bind) bind = nullptr;
  decltype(&::send) send = nullptr;
  decltype(&::recv) recv = nullptr;
  decltype(&::shutdown) shutdown = nullptr;
  decltype(&::closesocket) closesocket = nullptr;
  decltype(&::setsockopt) setsockopt = nullptr;
  decltype(&::ioctlsocket) ioctlsocket = nullptr;
  decltype(&::getsockname) getsockname = nullptr;
  decltype(&::getpeername) getpeername = nullptr;
  decltype(&::gethostbyname) gethostbyname = nullptr;
  decltype(&::getservbyname) getservbyname = nullptr;
  decltype(&::getprotobyname) getprotobyname = nullptr;
};

// The loaded table, or nullptr (with the thread's socket error set to
// "not initialised") when the library could not be loaded.
const WsockApi* Api();

// Lookups still owed a reply keep the library loaded: their worker may still
// be running inside it.
void AddOutstandingLookup();
void RemoveOutstandingLookup();

}  // namespace qm::platform::win32
