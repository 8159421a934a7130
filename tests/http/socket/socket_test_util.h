// Helpers of the socket-layer tests: a bounded loop pump and a recorder of
// the events one socket fires.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "http/socket/wsocket.h"
#include "platform/message_loop.h"

namespace qm::http::testing {

// Runs the loop until done() holds or 10 seconds pass; whether it held.
inline bool PumpUntil(const std::function<bool()>& done, int limit_ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    platform::ProcessMessages();
    if (done())
      return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    platform::WaitForMessages(static_cast<int>(std::min<long long>(left.count(), 50)));
  }
}

// Runs the loop for a while so that any late event would have arrived.
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// Records events as "name:error" texts, in order. Data events read what has
// arrived into `received` unless read_data is false.
struct EventLog {
  explicit EventLog(TWSocket& socket, bool read_data = true) {
    socket.OnDnsLookupDone = [this](TWSocket*, uint16_t e) { Add("dns", e); };
    socket.OnSessionConnected = [this](TWSocket*, uint16_t e) { Add("connected", e); };
    socket.OnSessionClosed = [this](TWSocket*, uint16_t e) { Add("closed", e); };
    socket.OnDataSent = [this](TWSocket*, uint16_t e) { Add("sent", e); };
    socket.OnChangeState = [this](TWSocket*, TSocketState, TSocketState state) {
      if (hook)
        hook("state:" + std::to_string(state));
    };
    socket.OnError = [this](TWSocket* s) { errors.push_back(s->LastErrorText()); };
    if (read_data) {
      socket.OnDataAvailable = [this](TWSocket* s, uint16_t) {
        char buffer[4096];
        int n = s->Receive(buffer, sizeof(buffer));
        if (n > 0)
          received.append(buffer, static_cast<size_t>(n));
        if (hook)
          hook("data");
      };
    }
  }

  void Add(const char* name, uint16_t error) {
    events.push_back(std::string(name) + ":" + std::to_string(error));
    if (hook)
      hook(name);
  }
  int Count(const std::string& event_prefix) const {
    int count = 0;
    for (const std::string& e : events)
      count += e.rfind(event_prefix, 0) == 0 ? 1 : 0;
    return count;
  }

  // Runs after each event with its name ("connected", "data", "sent",
  // "closed", "dns") or "state:<new state>".
  std::function<void(const std::string&)> hook;
  std::vector<std::string> events;
  std::vector<std::string> errors;
  std::string received;
};

inline std::vector<std::string> Without(std::vector<std::string> events, const std::string& event) {
  std::erase(events, event);
  return events;
}

// Sets the remote end and connects, as the HTTP client does.
inline void StartConnect(TWSocket& socket, const std::string& port) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort(port);
  socket.SetProto("tcp");
  socket.Connect();
}

}  // namespace qm::http::testing
