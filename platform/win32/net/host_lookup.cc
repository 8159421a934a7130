// Host lookups through WSAAsyncGetHostByName, replying to the caller's window.
// Each lookup owns its reply buffer until the reply has been taken: a
// cancelled lookup's buffer is kept, since some implementations go on
// filling it after the cancel.
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/win32/net/wsock_api.h"

namespace qm::platform {
namespace {

constexpr int kReplyBufferSize = 1025;  // MAXGETHOSTSTRUCT and one

struct Pending {
  std::unique_ptr<char[]> buffer;
  bool cancelled = false;
};

std::map<LookupHandle, Pending>& Lookups() {
  static std::map<LookupHandle, Pending> lookups;
  return lookups;
}

std::vector<uint32_t> AddressesOf(const hostent* host) {
  std::vector<uint32_t> addresses;
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4) {
    return addresses;
  }
  for (char** entry = host->h_addr_list; entry != nullptr && *entry != nullptr; ++entry) {
    uint32_t address;
    memcpy(&address, *entry, 4);
    addresses.push_back(address);
  }
  return addresses;
}

}  // namespace

LookupHandle StartHostLookup(uintptr_t window, uint32_t message, const std::string& name) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return 0;
  }
  auto buffer = std::make_unique<char[]>(kReplyBufferSize);
  HANDLE handle = api->WSAAsyncGetHostByName(reinterpret_cast<HWND>(window), message, name.c_str(),
                                             buffer.get(), kReplyBufferSize);
  if (handle == nullptr) {
    return 0;
  }
  LookupHandle lookup = reinterpret_cast<LookupHandle>(handle);
  Lookups()[lookup] = Pending{std::move(buffer), false};
  win32::AddOutstandingLookup();
  return lookup;
}

bool CancelHostLookup(LookupHandle lookup) {
  auto it = Lookups().find(lookup);
  const win32::WsockApi* api = win32::Api();
  if (it == Lookups().end() || api == nullptr) {
    SetSocketLastError(kSockErrInvalid);
    return false;
  }
  if (api->WSACancelAsyncRequest(reinterpret_cast<HANDLE>(lookup)) != 0) {
    int error = api->WSAGetLastError();
    // Ours and valid: refused only because it has already finished.
    if (error == WSAEINVAL || error == WSAEALREADY) {
      error = kSockErrAlready;
    }
    SetSocketLastError(error);
    return false;
  }
  it->second.cancelled = true;
  return true;
}

std::vector<uint32_t> TakeHostLookupResult(LookupHandle lookup) {
  auto it = Lookups().find(lookup);
  if (it == Lookups().end()) {
    return {};
  }
  std::vector<uint32_t> addresses;
  if (!it->second.cancelled) {
    addresses = AddressesOf(reinterpret_cast<const hostent*>(it->second.buffer.get()));
  }
  Lookups().erase(it);
  win32::RemoveOutstandingLookup();
  return addresses;
}

bool ResolveHostBlocking(const std::string& name, uint32_t* address) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return false;
  }
  std::vector<uint32_t> addresses = AddressesOf(api->gethostbyname(name.c_str()));
  if (addresses.empty()) {
    if (api->WSAGetLastError() == 0) {
      api->WSASetLastError(kSockErrNoData);
    }
    return false;
  }
  *address = addresses.front();
  return true;
}

bool LookupService(const std::string& name, const std::string& protocol, uint16_t* port) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return false;
  }
  const servent* entry = api->getservbyname(name.c_str(), protocol.c_str());
  if (entry == nullptr) {
    if (api->WSAGetLastError() == 0) {
      api->WSASetLastError(kSockErrNoData);
    }
    return false;
  }
  *port = static_cast<uint16_t>(entry->s_port);
  return true;
}

bool LookupProtocol(const std::string& name, int* protocol) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return false;
  }
  const protoent* entry = api->getprotobyname(name.c_str());
  if (entry == nullptr) {
    if (api->WSAGetLastError() == 0) {
      api->WSASetLastError(kSockErrNoData);
    }
    return false;
  }
  *protocol = entry->p_proto;
  return true;
}

}  // namespace qm::platform
