// The loop guarantees on real Win32 message-only windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"

namespace qm::platform {
namespace {

std::string Label(const char* prefix, long long value) {
  return prefix + std::to_string(value);
}

class MessageLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorDisplay([this](const std::string& text) { errors_.push_back(text); });
    ProcessMessages();
  }
  void TearDown() override { SetErrorDisplay(nullptr); }

  std::vector<std::string> errors_;
};

TEST_F(MessageLoopTest, DeliversInPostingOrderAcrossWindowsAndNeverInsidePost) {
  std::vector<std::string> log;
  MessageWindow a([&](const Message& m) { log.push_back(Label("a", m.id)); });
  MessageWindow b([&](const Message& m) { log.push_back(Label("b", m.id)); });
  a.Post(kUserMessage + 1);
  b.Post(kUserMessage + 1);
  a.Post(kUserMessage + 2);
  a.Post(kUserMessage + 3);
  EXPECT_TRUE(log.empty());
  ProcessMessages();
  EXPECT_EQ(log, (std::vector<std::string>{"a1025", "b1025", "a1026", "a1027"}));
}

TEST_F(MessageLoopTest, AnyMessageNumberReachesTheHandlerWithParametersIntact) {
  struct Case {
    uint32_t id;
    uintptr_t wparam;
    intptr_t lparam;
  };
  const Case cases[] = {
      {kUserMessage + 10, 0, 0},
      {kUserMessage + 19, UINTPTR_MAX, -1},  // what WSAAsyncSelect-style posts carry
      {kCloseMessage, 7, 9},                 // must not destroy the window
      {0x7FFF, 0x12345678u, static_cast<intptr_t>(0x7FFFFFFF)},
      {0xC123, 1, INTPTR_MIN},
  };
  std::vector<Message> got;
  MessageWindow window([&](const Message& m) {
    if (m.id >= kUserMessage || m.id == kCloseMessage)
      got.push_back(m);
  });
  for (const Case& c : cases)
    PostToWindow(window.native_handle(), c.id, c.wparam, c.lparam);
  ProcessMessages();
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].id, cases[i].id);
    EXPECT_EQ(got[i].wparam, cases[i].wparam);
    EXPECT_EQ(got[i].lparam, cases[i].lparam);
  }
  EXPECT_TRUE(IsWindow(reinterpret_cast<HWND>(window.native_handle())));
}

TEST_F(MessageLoopTest, DestroyedWindowDropsItsQueuedMessages) {
  int survivor_calls = 0;
  auto calls = std::make_shared<int>(0);
  MessageWindow survivor([&](const Message&) { ++survivor_calls; });
  uintptr_t stale = 0;
  {
    MessageWindow doomed([calls](const Message&) { ++*calls; });
    stale = doomed.native_handle();
    doomed.Post(kUserMessage + 1);
    survivor.Post(kUserMessage + 1);
  }
  PostToWindow(stale, kUserMessage + 2, 0, 0);  // ignored, not a crash
  PostToWindow(0, kUserMessage + 2, 0, 0);      // no thread message either
  ProcessMessages();
  EXPECT_EQ(*calls, 0);
  EXPECT_EQ(survivor_calls, 1);
}

TEST_F(MessageLoopTest, HandlerMayDestroyItsOwnWindow) {
  std::unique_ptr<MessageWindow> window;
  int calls = 0;
  window = std::make_unique<MessageWindow>([&](const Message&) {
    ++calls;
    window.reset();
  });
  window->Post(kUserMessage + 1);
  window->Post(kUserMessage + 2);
  ProcessMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(window, nullptr);
}

TEST_F(MessageLoopTest, NestedProcessingRunsLaterMessagesInsideTheHandler) {
  std::vector<std::string> log;
  std::unique_ptr<MessageWindow> window;
  window = std::make_unique<MessageWindow>([&](const Message& m) {
    log.push_back(Label("begin ", m.id));
    if (m.id == kUserMessage + 1) {
      window->Post(kUserMessage + 3);
      ProcessMessages();
    }
    log.push_back(Label("end ", m.id));
  });
  window->Post(kUserMessage + 1);
  window->Post(kUserMessage + 2);
  ProcessMessages();
  EXPECT_EQ(log, (std::vector<std::string>{"begin 1025", "begin 1026", "end 1026", "begin 1027",
                                           "end 1027", "end 1025"}));
}

TEST_F(MessageLoopTest, ExceptionGoesToTheErrorDisplayAndTheLoopGoesOn) {
  std::vector<uint32_t> handled;
  MessageWindow window([&](const Message& m) {
    if (m.id == kUserMessage + 1)
      throw std::runtime_error("Unable to write to C:\\x.ini");
    if (m.id == kUserMessage + 2)
      throw 42;
    handled.push_back(m.id);
  });
  window.Post(kUserMessage + 1);
  window.Post(kUserMessage + 2);
  window.Post(kUserMessage + 3);
  ProcessMessages();
  EXPECT_EQ(handled, std::vector<uint32_t>{kUserMessage + 3});
  ASSERT_EQ(errors_.size(), 2u);
  EXPECT_EQ(errors_[0], "Unable to write to C:\\x.ini");
  EXPECT_FALSE(errors_[1].empty());
}

TEST_F(MessageLoopTest, NestedLoopsEachEndByTheirOwnQuit) {
  std::vector<std::string> log;
  std::unique_ptr<MessageWindow> window;
  window = std::make_unique<MessageWindow>([&](const Message& m) {
    switch (m.id - kUserMessage) {
      case 1:
        window->Post(kUserMessage + 2);
        log.push_back(Label("inner ", RunMessageLoop()));
        window->Post(kUserMessage + 3);
        break;
      case 2:
        QuitMessageLoop(7);
        break;
      case 3:
        QuitMessageLoop(3);
        break;
    }
  });
  window->Post(kUserMessage + 1);
  log.push_back(Label("outer ", RunMessageLoop()));
  EXPECT_EQ(log, (std::vector<std::string>{"inner 7", "outer 3"}));
}

TEST_F(MessageLoopTest, QuitMessageEndsOnlyTheOutermostLoop) {
  std::vector<std::string> log;
  std::unique_ptr<MessageWindow> window;
  window = std::make_unique<MessageWindow>([&](const Message& m) {
    if (m.id == kUserMessage + 1) {
      PostQuitMessage(5);
      window->Post(kUserMessage + 2);
      log.push_back(Label("inner ", RunMessageLoop()));
    } else if (m.id == kUserMessage + 2) {
      log.push_back("inner still running");
      QuitMessageLoop(1);
    }
  });
  window->Post(kUserMessage + 1);
  log.push_back(Label("outer ", RunMessageLoop()));
  EXPECT_EQ(log, (std::vector<std::string>{"inner still running", "inner 1", "outer 5"}));
}

TEST_F(MessageLoopTest, PostFromAnotherThreadWakesTheWait) {
  std::atomic<bool> posted{false};
  std::vector<uint32_t> got;
  MessageWindow window([&](const Message& m) { got.push_back(m.id); });
  uintptr_t handle = window.native_handle();
  std::thread worker([&] {
    Sleep(100);
    posted = true;
    PostToWindow(handle, kUserMessage + 4, 1, 2);
  });
  DWORD start = GetTickCount();
  WaitForMessages(10000);
  DWORD waited = GetTickCount() - start;
  worker.join();
  EXPECT_TRUE(posted);
  EXPECT_LT(waited, 5000u);
  ProcessMessages();
  EXPECT_EQ(got, std::vector<uint32_t>{kUserMessage + 4});
}

TEST_F(MessageLoopTest, WaitWithoutMessagesBlocksForTheTimeoutWithoutSpinning) {
  FILETIME created, exited, kernel_before, user_before, kernel_after, user_after;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel_before, &user_before);
  DWORD start = GetTickCount();
  WaitForMessages(300);
  DWORD waited = GetTickCount() - start;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel_after, &user_after);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  uint64_t cpu_100ns =
      ticks(kernel_after) - ticks(kernel_before) + ticks(user_after) - ticks(user_before);
  EXPECT_GE(waited, 250u);
  EXPECT_LT(cpu_100ns, 1500000u);  // well under the 300 ms waited
}

}  // namespace
}  // namespace qm::platform
