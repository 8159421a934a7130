#include "platform/message_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <unistd.h>

#include "platform/posix/fd_watch.h"
#endif

namespace qm::platform {
namespace {

constexpr uint32_t kA = kUserMessage + 1;
constexpr uint32_t kB = kUserMessage + 2;
constexpr uint32_t kC = kUserMessage + 3;

// Records "name:id:wparam" for each message it receives.
class Recorder {
 public:
  explicit Recorder(std::vector<std::string>* log, std::string name = "w")
      : window_([this, log, name = std::move(name)](const Message& m) {
          log->push_back(name + ":" + std::to_string(m.id - kUserMessage) + ":" +
                         std::to_string(m.wparam));
          if (on_message) {
            on_message(m);
          }
        }) {}

  MessageWindow& window() { return window_; }
  std::function<void(const Message&)> on_message;

 private:
  MessageWindow window_;
};

class MessageLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessMessages();  // nothing left over from an earlier test
    SetErrorDisplay([this](const std::string& text) { errors_.push_back(text); });
  }
  void TearDown() override { SetErrorDisplay(nullptr); }

  std::vector<std::string> log_;
  std::vector<std::string> errors_;
};

TEST_F(MessageLoopTest, DeliversInPostingOrderAndNeverInsidePost) {
  Recorder first(&log_, "x");
  Recorder second(&log_, "y");
  first.window().Post(kA, 1);
  second.window().Post(kB, 2);
  first.window().Post(kC, 3, -4);
  PostToWindow(second.window().native_handle(), kA, 5, 0);
  EXPECT_TRUE(log_.empty());
  ProcessMessages();
  EXPECT_EQ(log_, (std::vector<std::string>{"x:1:1", "y:2:2", "x:3:3", "y:1:5"}));
}

TEST_F(MessageLoopTest, PassesParametersIntact) {
  Message got;
  MessageWindow window([&got](const Message& m) { got = m; });
  window.Post(kB, static_cast<uintptr_t>(-2), static_cast<intptr_t>(-3));
  ProcessMessages();
  EXPECT_EQ(got.id, kB);
  EXPECT_EQ(got.wparam, static_cast<uintptr_t>(-2));
  EXPECT_EQ(got.lparam, -3);
}

TEST_F(MessageLoopTest, MessagesPostedByHandlersRunBeforeProcessMessagesReturns) {
  Recorder r(&log_);
  r.on_message = [&r](const Message& m) {
    if (m.id == kA) {
      r.window().Post(kB, 2);
    }
    if (m.id == kB) {
      r.window().Post(kC, 3);
    }
  };
  r.window().Post(kA, 1);
  ProcessMessages();
  EXPECT_EQ(log_, (std::vector<std::string>{"w:1:1", "w:2:2", "w:3:3"}));
}

TEST_F(MessageLoopTest, HandlerThatAlwaysRepostsDoesNotHoldProcessMessages) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows dispatches until the queue is empty; the bound is the POSIX loop's";
#else
  int count = 0;
  std::unique_ptr<MessageWindow> window;
  window = std::make_unique<MessageWindow>([&](const Message&) {
    ++count;
    window->Post(kA);
  });
  window->Post(kA);
  ProcessMessages();  // returns although the handler always posts again
  const int first = count;
  EXPECT_GT(first, 1);
  ProcessMessages();  // and the message is still there for the next call
  EXPECT_GT(count, first);
  window.reset();
#endif
}

TEST_F(MessageLoopTest, DestroyedWindowLosesItsPendingMessages) {
  auto doomed = std::make_unique<Recorder>(&log_, "doomed");
  Recorder killer(&log_, "killer");
  const uintptr_t doomed_handle = doomed->window().native_handle();
  killer.on_message = [&](const Message&) { doomed.reset(); };
  // The killer runs first and destroys the other window, whose message was
  // already queued in the same pass.
  killer.window().Post(kA);
  doomed->window().Post(kB);
  ProcessMessages();
  EXPECT_EQ(log_, (std::vector<std::string>{"killer:1:0"}));
  // Posting to the handle of a window that is gone does nothing.
  PostToWindow(doomed_handle, kC, 0, 0);
  ProcessMessages();
  EXPECT_EQ(log_.size(), 1u);
}

TEST_F(MessageLoopTest, WindowMayDestroyItselfInItsHandler) {
  std::unique_ptr<MessageWindow> window;
  int calls = 0;
  window = std::make_unique<MessageWindow>([&](const Message&) {
    ++calls;
    window.reset();
  });
  window->Post(kA);
  window->Post(kA);
  ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST_F(MessageLoopTest, NestedProcessMessagesRunsLaterMessagesInOrder) {
  Recorder r(&log_);
  r.on_message = [&](const Message& m) {
    if (m.id == kA) {
      r.window().Post(kC, 9);
      ProcessMessages();
      log_.push_back("end of 1");
    }
  };
  r.window().Post(kA, 1);
  r.window().Post(kB, 2);
  ProcessMessages();
  EXPECT_EQ(log_, (std::vector<std::string>{"w:1:1", "w:2:2", "w:3:9", "end of 1"}));
}

TEST_F(MessageLoopTest, ExceptionGoesToTheErrorDisplayAndTheLoopGoesOn) {
  Recorder r(&log_);
  r.on_message = [](const Message& m) {
    if (m.id == kA) {
      throw std::runtime_error("Unable to write to C:\\QuillMar.ini");
    }
  };
  r.window().Post(kA);
  r.window().Post(kB);
  ProcessMessages();
  EXPECT_EQ(errors_, (std::vector<std::string>{"Unable to write to C:\\QuillMar.ini"}));
  EXPECT_EQ(log_, (std::vector<std::string>{"w:1:0", "w:2:0"}));
}

TEST_F(MessageLoopTest, RunMessageLoopNestsAndEachQuitEndsTheInnermost) {
  Recorder r(&log_);
  int inner_result = -1;
  r.on_message = [&](const Message& m) {
    if (m.id == kA) {
      r.window().Post(kB);
      inner_result = RunMessageLoop();  // a modal loop
      r.window().Post(kC);
    } else if (m.id == kB) {
      QuitMessageLoop(7);
    } else if (m.id == kC) {
      QuitMessageLoop(9);
    }
  };
  r.window().Post(kA);
  EXPECT_EQ(RunMessageLoop(), 9);
  EXPECT_EQ(inner_result, 7);
  EXPECT_EQ(log_, (std::vector<std::string>{"w:1:0", "w:2:0", "w:3:0"}));
}

TEST_F(MessageLoopTest, PostFromAnotherThreadWakesWaitForMessages) {
  Recorder r(&log_);
  const uintptr_t handle = r.window().native_handle();
  const auto start = std::chrono::steady_clock::now();
  std::thread worker([handle] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PostToWindow(handle, kB, 42, 0);
  });
  WaitForMessages(20000);
  const auto waited = std::chrono::steady_clock::now() - start;
  worker.join();
  EXPECT_LT(waited, std::chrono::seconds(10));  // woken, not timed out
  EXPECT_TRUE(log_.empty());                    // waiting does not dispatch
  ProcessMessages();
  EXPECT_EQ(log_, (std::vector<std::string>{"w:2:42"}));
}

TEST_F(MessageLoopTest, WaitWithNothingPendingBlocksUntilTheTimeout) {
  MessageWindow idle([](const Message&) {});
  const auto start = std::chrono::steady_clock::now();
  WaitForMessages(150);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
  // With a message queued it returns at once.
  idle.Post(kA);
  const auto again = std::chrono::steady_clock::now();
  WaitForMessages(20000);
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::seconds(10));
  ProcessMessages();
}

#ifndef _WIN32
class FdWatchTest : public MessageLoopTest {
 protected:
  void SetUp() override {
    MessageLoopTest::SetUp();
    ASSERT_EQ(pipe(first_), 0);
    ASSERT_EQ(pipe(second_), 0);
  }
  void TearDown() override {
    posix::UnwatchFd(first_[0]);
    posix::UnwatchFd(second_[0]);
    for (int fd : {first_[0], first_[1], second_[0], second_[1]}) {
      close(fd);
    }
    MessageLoopTest::TearDown();
  }
  int first_[2];
  int second_[2];
};

TEST_F(FdWatchTest, ReadinessIsReportedFromProcessMessages) {
  std::vector<unsigned> events;
  posix::WatchFd(first_[0], posix::kFdReadable, [&](int fd, unsigned e) {
    events.push_back(e);
    char c;
    ASSERT_EQ(read(fd, &c, 1), 1);
  });
  ProcessMessages();
  EXPECT_TRUE(events.empty());
  ASSERT_EQ(write(first_[1], "x", 1), 1);
  EXPECT_TRUE(events.empty());  // not before the loop runs
  WaitForMessages(20000);       // readiness ends the wait
  ProcessMessages();
  EXPECT_EQ(events, (std::vector<unsigned>{posix::kFdReadable}));
  // Paused: readiness is not reported.
  posix::WatchFd(first_[0], 0, [&](int, unsigned) { events.push_back(99); });
  ASSERT_EQ(write(first_[1], "y", 1), 1);
  ProcessMessages();
  EXPECT_EQ(events.size(), 1u);
  // Closing the writer is a hang-up: readable and writable both.
  posix::WatchFd(first_[0], posix::kFdReadable, [&](int, unsigned e) {
    events.push_back(e);
    posix::UnwatchFd(first_[0]);
  });
  close(first_[1]);
  first_[1] = -1;
  ProcessMessages();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1], posix::kFdReadable | posix::kFdWritable);
}

TEST_F(FdWatchTest, UnwatchDropsReadinessAlreadyCollected) {
  int calls = 0;
  // Whichever callback runs first unwatches the other descriptor, which was
  // ready in the same pass.
  posix::WatchFd(first_[0], posix::kFdReadable, [&](int, unsigned) {
    ++calls;
    posix::UnwatchFd(second_[0]);
    posix::UnwatchFd(first_[0]);
  });
  posix::WatchFd(second_[0], posix::kFdReadable, [&](int, unsigned) {
    ++calls;
    posix::UnwatchFd(first_[0]);
    posix::UnwatchFd(second_[0]);
  });
  ASSERT_EQ(write(first_[1], "x", 1), 1);
  ASSERT_EQ(write(second_[1], "x", 1), 1);
  ProcessMessages();
  EXPECT_EQ(calls, 1);
}

TEST_F(FdWatchTest, HangUpReportsBothEvents) {
  unsigned got = 0;
  posix::WatchFd(first_[1], posix::kFdWritable, [&](int fd, unsigned e) {
    got = e;
    posix::UnwatchFd(fd);
  });
  close(first_[0]);  // the reader is gone: the writer sees an error
  first_[0] = -1;
  ProcessMessages();
  EXPECT_EQ(got, posix::kFdReadable | posix::kFdWritable);
}
#endif

}  // namespace
}  // namespace qm::platform
