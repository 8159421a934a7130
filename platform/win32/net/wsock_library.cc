#include <string>

#include "platform/socket.h"
#include "platform/win32/net/wsock_api.h"
#include "platform/win32/system_library.h"

namespace qm::platform {
namespace win32 {
namespace {

constexpr char kLibraryName[] = "wsock32.dll";

HMODULE g_library = nullptr;
WsockApi g_api;
bool g_loaded = false;
long g_users = 0;
long g_outstanding = 0;
thread_local int g_last_error_unloaded = 0;

template <typename F>
bool Find(const char* name, F* slot, std::string* error) {
  *slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(g_library, name)));
  if (*slot != nullptr) {
    return true;
  }
  *error = std::string("Procedure ") + name + " not found in " + kLibraryName + " Error #" +
           std::to_string(GetLastError());
  return false;
}

bool LookUpAll(std::string* error) {
  return Find("WSAStartup", &g_api.WSAStartup, error) &&
         Find("WSACleanup", &g_api.WSACleanup, error) &&
         Find("WSAGetLastError", &g_api.WSAGetLastError, error) &&
         Find("WSASetLastError", &g_api.WSASetLastError, error) &&
         Find("WSAAsyncGetHostByName", &g_api.WSAAsyncGetHostByName, error) &&
         Find("WSACancelAsyncRequest", &g_api.WSACancelAsyncRequest, error) &&
         Find("WSAAsyncSelect", &g_api.WSAAsyncSelect, error) &&
         Find("socket", &g_api.socket, error) && Find("connect", &g_api.connect, error) &&
         Find("bind", &g_api.bind, error) && Find("send", &g_api.send, error) &&
         Find("recv", &g_api.recv, error) && Find("shutdown", &g_api.shutdown, error) &&
         Find("closesocket", &g_api.closesocket, error) &&
         Find("setsockopt", &g_api.setsockopt, error) &&
         Find("ioctlsocket", &g_api.ioctlsocket, error) &&
         Find("getsockname", &g_api.getsockname, error) &&
         Find("getpeername", &g_api.getpeername, error) &&
         Find("gethostbyname", &g_api.gethostbyname, error) &&
         Find("getservbyname", &g_api.getservbyname, error) &&
         Find("getprotobyname", &g_api.getprotobyname, error);
}

void Unload() {
  if (g_loaded) {
    g_api.WSACleanup();
  }
  if (g_library != nullptr) {
    FreeLibrary(g_library);
  }
  g_library = nullptr;
  g_api = WsockApi();
  g_loaded = false;
}

}  // namespace

const WsockApi* Api() {
  if (g_loaded) {
    return &g_api;
  }
  std::string ignored;
  if (!LoadSocketLibrary(&ignored)) {
    g_last_error_unloaded = kSockErrNotInitialised;
    return nullptr;
  }
  return &g_api;
}

void AddOutstandingLookup() {
  ++g_outstanding;
}

void RemoveOutstandingLookup() {
  if (--g_outstanding <= 0) {
    g_outstanding = 0;
    if (g_users <= 0 && g_loaded) {
      Unload();
    }
  }
}

}  // namespace win32

void AcquireSocketLibrary() {
  ++win32::g_users;
}

void ReleaseSocketLibrary() {
  if (--win32::g_users <= 0) {
    win32::g_users = 0;
    if (win32::g_outstanding == 0) {
      win32::Unload();
    }
  }
}

bool LoadSocketLibrary(std::string* error_text) {
  using namespace win32;
  if (g_loaded) {
    return true;
  }
  if (g_library == nullptr) {
    g_library = LoadSystemLibrary(L"wsock32.dll");
    if (g_library == nullptr) {
      *error_text = std::string("Unable to load ") + kLibraryName + " Error #" +
                    std::to_string(GetLastError());
      return false;
    }
  }
  if (!LookUpAll(error_text)) {
    FreeLibrary(g_library);
    g_library = nullptr;
    g_api = WsockApi();
    return false;
  }
  WSADATA data;
  int rc = g_api.WSAStartup(MAKEWORD(1, 1), &data);
  if (rc != 0) {
    *error_text = std::string(kLibraryName) + ": WSAStartup error #" + std::to_string(rc);
    FreeLibrary(g_library);
    g_library = nullptr;
    g_api = WsockApi();
    return false;
  }
  g_loaded = true;
  return true;
}

int SocketLastError() {
  if (!win32::g_loaded) {
    return win32::g_last_error_unloaded;
  }
  return win32::g_api.WSAGetLastError();
}

void SetSocketLastError(int error) {
  if (!win32::g_loaded) {
    win32::g_last_error_unloaded = error;
    return;
  }
  win32::g_api.WSASetLastError(error);
}

}  // namespace qm::platform
