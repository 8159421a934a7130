// Close and Abort called from inside the socket's own event handlers.
#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/socket/wsocket.h"
#include "platform/message_loop.h"
#include "tests/http/socket/loopback_peer.h"
#include "tests/http/socket/socket_test_util.h"

namespace qm::http::testing {
namespace {

TEST(ReentrancyTest, CloseOrAbortFromInsideEachHandler) {
  struct Case {
    std::string hook;  // the event whose handler closes
    bool abort;
  };
  std::vector<Case> cases;
  for (const std::string& hook :
       {"state:" + std::to_string(wsConnecting), std::string("connected"), std::string("data"),
        std::string("sent"), std::string("closed")}) {
    cases.push_back({hook, false});
    cases.push_back({hook, true});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hook + (c.abort ? " Abort" : " Close"));
    LoopbackPeer peer;
    peer.Serve(
        [&](PeerConnection& conn) {
          conn.SendAll("hello");
          if (c.hook == "closed") {
            conn.Close();
          } else {
            conn.ReceiveAll();
          }
        },
        2);
    TWSocket socket;
    EventLog log(socket);
    int acted = 0;
    int closed_after_act = -1;
    log.hook = [&](const std::string& name) {
      if (name != c.hook || acted++ > 0) {
        return;
      }
      c.abort ? socket.Abort() : socket.Close();
      closed_after_act = log.Count("closed");
    };
    StartConnect(socket, peer.port());
    ASSERT_TRUE(PumpUntil([&] { return acted > 0 && log.Count("closed") == 1; }));
    // The close event of the platform for the old handle comes to nothing.
    PumpFor(150);
    EXPECT_EQ(closed_after_act, 1) << "OnSessionClosed did not run inside the call";
    EXPECT_EQ(log.Count("closed"), 1);
    EXPECT_EQ(log.events.back(), "closed:0");
    EXPECT_EQ(socket.State(), wsClosed);
    EXPECT_TRUE(log.errors.empty());

    // The object is ready for the next connection.
    log.events.clear();
    log.hook = nullptr;
    log.received.clear();
    StartConnect(socket, peer.port());
    ASSERT_TRUE(PumpUntil([&] { return log.received == "hello"; }));
    EXPECT_EQ(log.events.front(), "connected:0");
    socket.Close();
    peer.Join();
  }
}

TEST(ReentrancyTest, CloseInsideTheOpenedStateChangeIsReported) {
  LoopbackPeer peer;
  TWSocket socket;
  EventLog log(socket);
  log.hook = [&](const std::string& name) {
    if (name == "state:" + std::to_string(wsOpened)) {
      socket.Close();
    }
  };
  StartConnect(socket, peer.port());
  EXPECT_EQ(log.errors,
            std::vector<std::string>{"Error 10022 in function Connect (Invalid operation in "
                                     "OnChangeState)\r\nInvalid argument"});
  PumpFor(100);
  EXPECT_EQ(log.Count("closed"), 1);
  EXPECT_EQ(log.Count("connected"), 0);
  EXPECT_EQ(socket.State(), wsClosed);
}

// An exception from a data handler ends in the background-exception path,
// whose default aborts: the caller still hears of the end of the connection.
TEST(ReentrancyTest, ExceptionsFromHandlersGoToOnBgException) {
  for (bool can_close : {true, false}) {
    SCOPED_TRACE(can_close);
    LoopbackPeer peer;
    peer.Serve([](PeerConnection& conn) {
      conn.SendAll("boom");
      conn.ReceiveAll();
    });
    TWSocket socket;
    EventLog log(socket, false);
    std::vector<std::string> caught;
    socket.OnDataAvailable = [](TWSocket*, uint16_t) { throw std::runtime_error("bad data"); };
    socket.OnBgException = [&](TWSocket*, const std::exception& e, bool& close) {
      caught.push_back(e.what());
      close = can_close;
    };
    StartConnect(socket, peer.port());
    ASSERT_TRUE(PumpUntil([&] { return !caught.empty(); }));
    PumpFor(100);
    EXPECT_EQ(caught, std::vector<std::string>{"bad data"});
    EXPECT_EQ(log.Count("closed"), can_close ? 1 : 0);
    EXPECT_EQ(socket.State(), can_close ? wsClosed : wsConnected);

    caught.clear();
    platform::PostToWindow(socket.WindowHandle(), kWmTestException, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !caught.empty(); }));
    EXPECT_EQ(caught, std::vector<std::string>{"Test exception in WSocket"});
    socket.Close();
    EXPECT_EQ(log.Count("closed"), 1);
  }
}

// A failing close handler must not swallow the close of the next connection.
TEST(ReentrancyTest, AThrowingCloseHandlerLeavesTheNextCloseReported) {
  for (bool peer_closes : {true, false}) {
    SCOPED_TRACE(peer_closes ? "peer closes" : "local Close");
    LoopbackPeer peer;
    std::atomic<int> served{0};
    peer.Serve(
        [&served, peer_closes](PeerConnection& conn) {
          // For a local Close the first connection stays up until the client
          // closes it; a close from here could reach the client together with
          // the connect, and the client would never be seen connected.
          if (served++ == 0 && !peer_closes) {
            conn.ReceiveAll();
          }
          conn.Close();
        },
        2);
    TWSocket socket;
    EventLog log(socket);
    int closes = 0;
    socket.OnSessionClosed = [&](TWSocket*, uint16_t) {
      if (++closes == 1) {
        throw std::runtime_error("close handler failed");
      }
    };
    std::vector<std::string> caught;
    socket.OnBgException = [&](TWSocket*, const std::exception& e, bool&) {
      caught.push_back(e.what());
    };
    StartConnect(socket, peer.port());
    if (peer_closes) {
      ASSERT_TRUE(PumpUntil([&] { return closes == 1; }));
      EXPECT_EQ(caught, std::vector<std::string>{"close handler failed"});
    } else {
      ASSERT_TRUE(PumpUntil([&] { return socket.State() == wsConnected; }));
      EXPECT_THROW(socket.Close(), std::runtime_error);
      EXPECT_EQ(closes, 1);
    }
    EXPECT_EQ(socket.State(), wsClosed);

    StartConnect(socket, peer.port());
    EXPECT_TRUE(PumpUntil([&] { return closes == 2; }));
    peer.Join();
  }
}

}  // namespace
}  // namespace qm::http::testing
