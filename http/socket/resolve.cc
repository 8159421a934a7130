#include <string>

#include "http/socket/address_text.h"
#include "http/socket/wsocket.h"
#include "platform/socket.h"
#include "util/ascii.h"

namespace qm::http {
namespace {

void EnsureLibrary() {
  std::string error;
  if (!platform::LoadSocketLibrary(&error)) {
    throw ESocketException(error);
  }
}

bool StartsWithDigit(const std::string& text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// Leading digits after leading spaces, up to the first other character.
unsigned long LeadingNumber(const std::string& text) {
  size_t pos = text.find_first_not_of(' ');
  unsigned long value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    value = value * 10 + static_cast<unsigned long>(text[pos] - '0');
    if (value > 0xFFFFFFFFul) {
      return value;
    }
  }
  return value;
}

}  // namespace

uint32_t WSocketResolveHost(const std::string& host) {
  if (host.empty() || host.size() > 256) {
    throw ESocketException("WSocketResolveHost: '" + host + "' Invalid Hostname.");
  }
  uint32_t address = 0;
  if (ParseDottedAddress(host, &address)) {
    if (address == 0xFFFFFFFFu && host != "255.255.255.255") {
      throw ESocketException("WSocketResolveHost: '" + host + "' Invalid IP address.");
    }
    return address;
  }
  EnsureLibrary();
  if (!platform::ResolveHostBlocking(host, &address)) {
    throw ESocketException("WSocketResolveHost: Cannot convert host address '" + host +
                           "', Error #" + std::to_string(platform::SocketLastError()));
  }
  return address;
}

uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() >= 32) {
    throw ESocketException("WSocketResolvePort: Invalid Port.");
  }
  if (proto.empty() || proto.size() >= 32) {
    throw ESocketException("WSocketResolvePort: Invalid Proto.");
  }
  if (StartsWithDigit(port)) {
    // A number that does not fit would silently name another port.
    unsigned long value = LeadingNumber(port);
    if (value > 65535) {
      throw ESocketException("WSocketResolvePort: Invalid Port.");
    }
    return HostToNetwork16(static_cast<uint16_t>(value));
  }
  EnsureLibrary();
  uint16_t result = 0;
  if (!platform::LookupService(port, proto, &result)) {
    throw ESocketException("WSocketResolvePort: Cannot convert port '" + port + "', Error #" +
                           std::to_string(platform::SocketLastError()));
  }
  return result;
}

int WSocketResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() >= 32) {
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  }
  if (StartsWithDigit(proto)) {
    return static_cast<int>(LeadingNumber(proto) & 0xFFFF);
  }
  // The two names every system knows, without its protocol table.
  const std::string lower = AsciiLowerCopy(proto);
  if (lower == "tcp") {
    return 6;
  }
  if (lower == "udp") {
    return 17;
  }
  EnsureLibrary();
  int result = 0;
  if (!platform::LookupProtocol(proto, &result)) {
    throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + proto + "', Error #" +
                           std::to_string(platform::SocketLastError()));
  }
  return result;
}

}  // namespace qm::http
