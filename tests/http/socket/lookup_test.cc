#include <string>

#include <gtest/gtest.h>

#include "http/socket/wsocket.h"
#include "platform/message_loop.h"
#include "tests/http/socket/socket_test_util.h"

namespace qm::http::testing {
namespace {

TEST(DnsLookupTest, ResultsByKindOfName) {
  struct Case {
    std::string name;
    bool done_inside_call;  // a dotted address needs no round trip
    std::string event;
    std::string result;
    int errors;
  } cases[] = {
      {"127.0.0.1", true, "dns:0", "127.0.0.1", 0},
      {"localhost", false, "dns:0", "127.0.0.1", 0},
      {"no-such-host.invalid", false, "dns:11001", "", 0},
      {"", true, "dns:10022", "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TWSocket socket;
    EventLog log(socket);
    socket.DnsLookup(c.name);
    EXPECT_EQ(log.events.size(), c.done_inside_call ? 1u : 0u);
    ASSERT_TRUE(PumpUntil([&] { return !log.events.empty(); }));
    PumpFor(50);
    EXPECT_EQ(log.events, std::vector<std::string>{c.event});
    EXPECT_EQ(socket.DnsResult(), c.result);
    EXPECT_EQ(log.errors.size(), static_cast<size_t>(c.errors));
  }
}

TEST(DnsLookupTest, EmptyNameRaisesWithoutErrorHandler) {
  TWSocket socket;
  EXPECT_THROW(socket.DnsLookup(""), ESocketException);
}

TEST(DnsLookupTest, CancelEndsTheLookupOnceAndDropsTheReply) {
  TWSocket socket;
  EventLog log(socket);
  socket.DnsLookup("localhost");
  socket.CancelDnsLookup();
  EXPECT_EQ(log.events, std::vector<std::string>{"dns:10004"});
  PumpFor(300);
  EXPECT_EQ(log.events, std::vector<std::string>{"dns:10004"});
  EXPECT_EQ(socket.DnsResult(), "");
  socket.CancelDnsLookup();  // nothing pending: no event
  EXPECT_EQ(log.events.size(), 1u);
}

TEST(DnsLookupTest, SecondLookupReplacesThePendingOneQuietly) {
  TWSocket socket;
  EventLog log(socket);
  socket.DnsLookup("no-such-host.invalid");
  socket.DnsLookup("localhost");
  ASSERT_TRUE(PumpUntil([&] { return !log.events.empty(); }));
  PumpFor(300);
  EXPECT_EQ(log.events, std::vector<std::string>{"dns:0"});
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
  EXPECT_FALSE(socket.DnsResultList().empty());
}

TEST(DnsLookupTest, DestroyingWithALookupPendingIsSilent) {
  int events = 0;
  {
    TWSocket socket;
    socket.OnDnsLookupDone = [&](TWSocket*, uint16_t) { ++events; };
    socket.DnsLookup("localhost");
  }
  PumpFor(300);
  EXPECT_EQ(events, 0);
}

}  // namespace
}  // namespace qm::http::testing
