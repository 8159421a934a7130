#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "http/socket/wsocket.h"

namespace qm::http {
namespace {

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t bytes[4] = {a, b, c, d};
  uint32_t value;
  std::memcpy(&value, bytes, 4);
  return value;
}

uint16_t NetworkPort(uint16_t port) {
  uint8_t bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  uint16_t value;
  std::memcpy(&value, bytes, 2);
  return value;
}

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ESocketException& e) {
    return e.what();
  }
  return "";
}

TEST(ResolveTest, Hosts) {
  EXPECT_EQ(WSocketResolveHost("127.0.0.1"), Address(127, 0, 0, 1));
  EXPECT_EQ(WSocketResolveHost(" 10.1.2.3 "), Address(10, 1, 2, 3));
  EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(WSocketResolveHost("localhost"), Address(127, 0, 0, 1));

  struct Case {
    std::string host;
    std::string error;
  } cases[] = {
      {"", "WSocketResolveHost: '' Invalid Hostname."},
      {std::string(257, 'a'),
       "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname."},
      // All ones written any other way is refused rather than broadcast.
      {" 255.255.255.255", "WSocketResolveHost: ' 255.255.255.255' Invalid IP address."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorOf([&] { WSocketResolveHost(c.host); }), c.error) << c.host;
  }

  std::string unknown = ErrorOf([] { WSocketResolveHost("no-such-host.invalid"); });
  EXPECT_EQ(unknown.rfind("WSocketResolveHost: Cannot convert host address "
                          "'no-such-host.invalid', Error #11",
                          0),
            0u)
      << unknown;
}

TEST(ResolveTest, PortsAndProtocols) {
  EXPECT_EQ(WSocketResolvePort("80", "tcp"), NetworkPort(80));
  EXPECT_EQ(WSocketResolvePort("8080abc", "tcp"), NetworkPort(8080));
  EXPECT_EQ(WSocketResolvePort("65535", "tcp"), NetworkPort(65535));
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), NetworkPort(80));
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("17"), 17);

  struct Case {
    std::function<void()> call;
    std::string error;
  } cases[] = {
      {[] { WSocketResolvePort("", "tcp"); }, "WSocketResolvePort: Invalid Port."},
      {[] { WSocketResolvePort(std::string(32, '1'), "tcp"); },
       "WSocketResolvePort: Invalid Port."},
      // Too large for a port: refused instead of wrapping to another one.
      {[] { WSocketResolvePort("65616", "tcp"); }, "WSocketResolvePort: Invalid Port."},
      {[] { WSocketResolvePort("80", ""); }, "WSocketResolvePort: Invalid Proto."},
      {[] { WSocketResolvePort("no-such-service", "tcp"); },
       "WSocketResolvePort: Cannot convert port 'no-such-service', Error #"},
      {[] { WSocketResolveProto(""); }, "WSocketResolveProto: Invalid Protocol."},
      {[] { WSocketResolveProto("no-such-protocol"); },
       "WSocketResolveProto: Cannot convert protocol 'no-such-protocol', Error #"},
  };
  for (const Case& c : cases) {
    std::string error = ErrorOf(c.call);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace qm::http
