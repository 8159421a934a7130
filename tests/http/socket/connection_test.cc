#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/socket/wsocket.h"
#include "platform/message_loop.h"
#include "platform/socket.h"
#include "tests/http/socket/loopback_peer.h"
#include "tests/http/socket/socket_test_util.h"

namespace qm::http::testing {
namespace {

using Events = std::vector<std::string>;

TEST(ConnectTest, ListeningAndRefusedPorts) {
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) { c.ReceiveAll(); });
  std::string refused = RefusedPort();

  struct Case {
    std::string port;
    Events events;
    TSocketState state;
  } cases[] = {
      {peer.port(), {"connected:0"}, wsConnected},
      {refused, {"connected:10061", "closed:10061"}, wsClosed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    TWSocket socket;
    EventLog log(socket);
    StartConnect(socket, c.port);
    EXPECT_EQ(socket.State(), wsConnecting);
    EXPECT_TRUE(log.events.empty());
    ASSERT_TRUE(PumpUntil([&] { return log.events.size() >= c.events.size(); }));
    PumpFor(100);
    // The platform's "ready to write" after connecting may add OnDataSent.
    EXPECT_EQ(Without(log.events, "sent:0"), c.events);
    EXPECT_EQ(socket.State(), c.state);
    EXPECT_TRUE(log.errors.empty());
    if (c.state == wsConnected) {
      EXPECT_EQ(socket.PeerAddr(), "127.0.0.1");
      EXPECT_EQ(socket.PeerPort(), c.port);
    } else {
      EXPECT_EQ(socket.PeerAddr(), "error");
    }
  }
}

// Each way a connection ends gives exactly one OnSessionClosed, and data
// that arrived before the end is delivered first.
TEST(ConnectTest, OneSessionClosedPerConnection) {
  enum End { kPeerClose, kPeerReset, kLocalClose, kLocalAbort };
  struct Case {
    End end;
    std::string closed_event;
    std::string received;
  } cases[] = {
      {kPeerClose, "closed:0", "last words"},
      {kPeerReset, "closed:10054", ""},
      {kLocalClose, "closed:0", ""},
      {kLocalAbort, "closed:0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.end);
    LoopbackPeer peer;
    peer.Serve([&](PeerConnection& conn) {
      if (c.end == kPeerClose) {
        conn.SendAll("last words");
        conn.Close();
      } else if (c.end == kPeerReset) {
        conn.Reset();
      } else {
        conn.ReceiveAll();
      }
    });
    TWSocket socket;
    EventLog log(socket);
    StartConnect(socket, peer.port());
    ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 1; }));
    if (c.end == kLocalClose || c.end == kLocalAbort) {
      c.end == kLocalClose ? socket.Close() : socket.Abort();
      // Fired before Close returns.
      EXPECT_EQ(log.Count("closed"), 1);
    }
    ASSERT_TRUE(PumpUntil([&] { return log.Count("closed") == 1; }));
    peer.Join();
    PumpFor(100);
    EXPECT_EQ(log.Count("closed"), 1);
#ifdef _WIN32
    // Wine turns a reset into an orderly end: the close event and every read
    // after it say nothing of the reset (Windows reports 10054).
    if (c.end == kPeerReset) {
      EXPECT_TRUE(log.events.back() == "closed:10054" || log.events.back() == "closed:0");
    } else {
      EXPECT_EQ(log.events.back(), c.closed_event);
    }
#else
    EXPECT_EQ(log.events.back(), c.closed_event);
#endif
    EXPECT_EQ(log.received, c.received);
    EXPECT_EQ(socket.State(), wsClosed);
    socket.Close();  // closing again changes nothing
    EXPECT_EQ(log.Count("closed"), 1);
  }
}

// A reader that takes a few bytes per notification still gets everything
// that came before the peer's close, and only then OnSessionClosed.
TEST(ConnectTest, DataUnreadAtThePeersCloseIsDeliveredFirst) {
  std::string data;
  for (int i = 0; i < 1000; ++i) {
    data += static_cast<char>('A' + i % 26);
  }
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    c.SendAll(data);
    c.Close();
  });
  TWSocket socket;
  EventLog log(socket, false);
  socket.SetComponentOptions(wsoNoReceiveLoop);
  std::string received;
  bool data_after_close = false;
  socket.OnDataAvailable = [&](TWSocket* s, uint16_t) {
    char buffer[10];
    int n = s->Receive(buffer, sizeof(buffer));
    if (n > 0) {
      received.append(buffer, static_cast<size_t>(n));
    }
    data_after_close = data_after_close || log.Count("closed") > 0;
  };
  StartConnect(socket, peer.port());
  ASSERT_TRUE(PumpUntil([&] { return log.Count("closed") == 1; }));
  PumpFor(100);
  EXPECT_EQ(received, data);
  EXPECT_FALSE(data_after_close);
  EXPECT_EQ(log.events.back(), "closed:0");
  EXPECT_EQ(log.Count("closed"), 1);
}

TEST(ConnectTest, ReadCountWrapsAsA32BitCounterPast2GiB) {
  constexpr uint64_t kChunk = 1 << 20;
  constexpr uint64_t kTotal = (2048 + 3) * kChunk;  // past INT32_MAX
  LoopbackPeer peer;
  peer.Serve([&](PeerConnection& c) {
    const std::string chunk(kChunk, 'q');
    for (uint64_t sent = 0; sent < kTotal; sent += kChunk) {
      c.SendAll(chunk);
    }
    c.Close();
  });
  TWSocket socket;
  EventLog log(socket, false);
  uint64_t received = 0;
  int32_t count = 0;  // the socket resets it when it closes
  std::vector<char> buffer(size_t{256} * 1024);
  socket.OnDataAvailable = [&](TWSocket* s, uint16_t) {
    int n = s->Receive(buffer.data(), static_cast<int>(buffer.size()));
    if (n > 0) {
      received += static_cast<uint64_t>(n);
    }
    count = s->ReadCount();
  };
  StartConnect(socket, peer.port());
  ASSERT_TRUE(PumpUntil([&] { return log.Count("closed") == 1; }, 300000));
  EXPECT_EQ(received, kTotal);
  // What the 32-bit count holds after the wrap, not an overflow.
  EXPECT_EQ(count, static_cast<int32_t>(static_cast<uint32_t>(kTotal)));
}

// A socket connected to a peer that reads until the close.
class ConnectedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer.Serve([](PeerConnection& c) { c.ReceiveAll(); });
    StartConnect(socket, peer.port());
    ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 1; }));
  }

  LoopbackPeer peer;
  TWSocket socket;
  EventLog log{socket};
};

TEST_F(ConnectedTest, CloseDelayedClosesLaterFromTheLoop) {
  socket.CloseDelayed();
  EXPECT_EQ(socket.State(), wsConnected);
  ASSERT_TRUE(PumpUntil([&] { return log.Count("closed") == 1; }));
  EXPECT_EQ(socket.State(), wsClosed);
}

// A connection attempt that fails before reaching the network is reported
// and still ends like a refused one, so a waiting caller hears of it.
TEST(ConnectTest, EarlyConnectFailuresEndInEvents) {
  struct Case {
    std::string addr;
    std::string port;
    std::string socks_server;
    std::string error_start;
    bool platform_code;  // the code comes from the resolver, not a fixed one
  } cases[] = {
      {"no-such-host.invalid", "80", "",
       "connect: WSocketResolveHost: Cannot convert host address 'no-such-host.invalid'", true},
      {"127.0.0.1", "99999", "", "connect: WSocketResolvePort: Invalid Port.", false},
      {"127.0.0.1", "80", "127.0.0.1", "Connect: SOCKS servers are not supported", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error_start);
    TWSocket socket;
    EventLog log(socket);
    socket.SetAddr(c.addr);
    socket.SetPort(c.port);
    socket.SetSocksServer(c.socks_server);
    socket.Connect();
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0].substr(0, c.error_start.size()), c.error_start);
    std::string code = std::to_string(socket.LastError());
    EXPECT_EQ(log.events, (Events{"connected:" + code, "closed:" + code}));
    if (c.platform_code) {
      EXPECT_GT(socket.LastError(), 11000);
    }
    EXPECT_EQ(socket.State(), wsClosed);
    PumpFor(50);
    EXPECT_EQ(log.events.size(), 2u);
  }
}

TEST(ConnectTest, DestroyingAnOpenSocketIsSilent) {
  LoopbackPeer peer;
  std::string got = "unset";
  peer.Serve([&](PeerConnection& c) { got = c.ReceiveAll(); });
  int closed = 0;
  {
    TWSocket socket;
    EventLog log(socket);
    socket.OnSessionClosed = [&](TWSocket*, uint16_t) { ++closed; };
    StartConnect(socket, peer.port());
    ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 1; }));
    socket.SendStr("bye");
  }
  PumpFor(100);
  peer.Join();
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(got, "bye");  // the peer sees the end of the connection
}

TEST(ConnectTest, LateEventsForAnOldHandleAreIgnored) {
  LoopbackPeer peer;
  peer.Serve(
      [](PeerConnection& c) {
        std::string line = c.ReceiveExactly(4);
        c.SendAll(line);
        c.ReceiveAll();
      },
      2);
  TWSocket socket;
  EventLog log(socket);
  StartConnect(socket, peer.port());
  ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 1; }));
  uintptr_t old_handle = socket.SocketHandle();
  socket.Close();
  StartConnect(socket, peer.port());
  ASSERT_NE(socket.SocketHandle(), old_handle);
  ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 2; }));

  for (uint32_t event : {kFdClose, kFdConnect | kFdRead, kFdWrite}) {
    platform::PostToWindow(socket.WindowHandle(), kWmAsyncSelect, old_handle,
                           static_cast<intptr_t>(event | (10054u << 16)));
  }
  // A reply to a lookup that is not pending is dropped the same way.
  platform::PostToWindow(socket.WindowHandle(), kWmAsyncGetHostByName, 12345, 0);
  PumpFor(200);
  EXPECT_EQ(socket.State(), wsConnected);
  EXPECT_EQ(log.Count("closed"), 1);
  EXPECT_EQ(log.Count("dns"), 0);

  // The new connection still works both ways.
  ASSERT_EQ(socket.SendStr("ping"), 4);
  ASSERT_TRUE(PumpUntil([&] { return log.received == "ping"; }));
  socket.Close();
  EXPECT_EQ(log.Count("closed"), 2);
}

TEST_F(ConnectedTest, SettingsAndChecksWhileConnectedAndAfterClose) {
  socket.SetPort(peer.port());  // the value it holds: nothing to report
  EXPECT_TRUE(log.errors.empty());
  socket.SetPort("1");
  socket.SetAddr("127.0.0.2");
  EXPECT_EQ(log.errors,
            (Events{"Cannot change Port if not closed", "Cannot change Addr if not closed"}));
  EXPECT_EQ(socket.Port(), peer.port());
  EXPECT_EQ(socket.Addr(), "127.0.0.1");
  socket.Connect();
  EXPECT_EQ(log.errors.back(), "Connect: Socket already in use");
  EXPECT_EQ(socket.State(), wsConnected);

  socket.Close();
  log.errors.clear();
  log.events.clear();
  // Each connection needs its address and port again.
  socket.Connect();
  EXPECT_EQ(log.errors, Events{"Connect: No Port Specified"});
  EXPECT_EQ(log.events, (Events{"connected:10022", "closed:10022"}));
  EXPECT_EQ(socket.State(), wsClosed);

  int sent = socket.SendStr("x");
  EXPECT_EQ(sent, -1);
  EXPECT_EQ(socket.LastError(), 10057);
  EXPECT_EQ(log.errors.back(), "Error 10057 in function Send\r\nSocket is not connected");
}

TEST(ConnectTest, ErrorsRaiseWithoutAnErrorHandler) {
  TWSocket socket;
  int closed = 0;
  socket.OnSessionClosed = [&](TWSocket*, uint16_t) { ++closed; };
  try {
    socket.Connect();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Connect: No Port Specified");
  }
  // The exception is the notification: no event follows it.
  EXPECT_EQ(closed, 0);
  socket.SetAddr("127.0.0.1");
  socket.SetPort("99999");
  EXPECT_THROW(socket.Connect(), ESocketException);
  EXPECT_EQ(socket.State(), wsClosed);
}

TEST(ConnectTest, NameInAddrIsResolvedByConnect) {
  LoopbackPeer peer;
  peer.Serve([](PeerConnection& c) { c.ReceiveAll(); });
  TWSocket socket;
  EventLog log(socket);
  socket.SetAddr("  localhost  ");
  socket.SetPort(" " + peer.port());
  EXPECT_EQ(socket.Addr(), "localhost");
  socket.Connect();
  ASSERT_TRUE(PumpUntil([&] { return log.Count("connected") == 1; }));
  EXPECT_EQ(Without(log.events, "sent:0"), Events{"connected:0"});
  socket.Close();
}

}  // namespace
}  // namespace qm::http::testing
