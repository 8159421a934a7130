// Host lookups: getaddrinfo on a worker thread per lookup, the reply posted
// to the caller's window. A cancelled lookup keeps running to its end, but its
// result is dropped and nothing is posted.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/posix/net/socket_errors.h"
#include "platform/socket.h"

namespace qm::platform {
namespace {

struct Lookup {
  bool cancelled = false;
  bool done = false;
  std::vector<uint32_t> addresses;
};

struct Registry {
  std::mutex mutex;
  LookupHandle next = 1;
  std::map<LookupHandle, Lookup> lookups;
};

// Workers hold the registry too, so one still running at exit stays valid.
std::shared_ptr<Registry> GetRegistry() {
  static const std::shared_ptr<Registry> registry = std::make_shared<Registry>();
  return registry;
}

int Resolve(const std::string& name, std::vector<uint32_t>* addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  errno = 0;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
  if (rc != 0) {
    return posix::WinsockErrorFromResolver(rc, errno);
  }
  for (addrinfo* info = result; info != nullptr; info = info->ai_next) {
    if (info->ai_family != AF_INET || info->ai_addr == nullptr) {
      continue;
    }
    uint32_t address = reinterpret_cast<const sockaddr_in*>(info->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t known : *addresses) {
      seen = seen || known == address;
    }
    if (!seen) {
      addresses->push_back(address);
    }
  }
  freeaddrinfo(result);
  return addresses->empty() ? kSockErrNoData : 0;
}

}  // namespace

LookupHandle StartHostLookup(uintptr_t window, uint32_t message, const std::string& name) {
  std::shared_ptr<Registry> registry = GetRegistry();
  LookupHandle handle;
  {
    std::lock_guard<std::mutex> lock(registry->mutex);
    handle = registry->next++;
    if (registry->next == 0) {
      registry->next = 1;
    }
    registry->lookups[handle];
  }
  try {
    std::thread([registry, handle, window, message, name] {
      std::vector<uint32_t> addresses;
      int error = Resolve(name, &addresses);
      std::lock_guard<std::mutex> lock(registry->mutex);
      auto it = registry->lookups.find(handle);
      if (it == registry->lookups.end()) {
        return;
      }
      if (it->second.cancelled) {
        registry->lookups.erase(it);
        return;
      }
      it->second.done = true;
      it->second.addresses = std::move(addresses);
      // Posted under the lock so that a cancel either wins or sees done.
      PostToWindow(window, message, handle, static_cast<intptr_t>(error) << 16);
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(registry->mutex);
    registry->lookups.erase(handle);
    SetSocketLastError(kSockErrNoBufs);
    return 0;
  }
  return handle;
}

bool CancelHostLookup(LookupHandle lookup) {
  std::shared_ptr<Registry> registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry->mutex);
  auto it = registry->lookups.find(lookup);
  if (it == registry->lookups.end()) {
    SetSocketLastError(kSockErrInvalid);
    return false;
  }
  if (it->second.done) {
    registry->lookups.erase(it);
    SetSocketLastError(kSockErrAlready);
    return false;
  }
  it->second.cancelled = true;
  return true;
}

std::vector<uint32_t> TakeHostLookupResult(LookupHandle lookup) {
  std::shared_ptr<Registry> registry = GetRegistry();
  std::lock_guard<std::mutex> lock(registry->mutex);
  auto it = registry->lookups.find(lookup);
  if (it == registry->lookups.end() || !it->second.done) {
    return {};
  }
  std::vector<uint32_t> addresses = std::move(it->second.addresses);
  registry->lookups.erase(it);
  return addresses;
}

bool ResolveHostBlocking(const std::string& name, uint32_t* address) {
  std::vector<uint32_t> addresses;
  int error = Resolve(name, &addresses);
  if (error != 0) {
    SetSocketLastError(error);
    return false;
  }
  *address = addresses.front();
  return true;
}

bool LookupService(const std::string& name, const std::string& protocol, uint16_t* port) {
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (getservbyname_r(name.c_str(), protocol.c_str(), &entry, buffer, sizeof(buffer), &found) !=
          0 ||
      found == nullptr) {
    SetSocketLastError(kSockErrNoData);
    return false;
  }
  *port = static_cast<uint16_t>(found->s_port);
  return true;
}

bool LookupProtocol(const std::string& name, int* protocol) {
  protoent entry{};
  protoent* found = nullptr;
  char buffer[1024];
  if (getprotobyname_r(name.c_str(), &entry, buffer, sizeof(buffer), &found) != 0 ||
      found == nullptr) {
    SetSocketLastError(kSockErrNoData);
    return false;
  }
  *protocol = found->p_proto;
  return true;
}

}  // namespace qm::platform
