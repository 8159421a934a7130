// A queue per thread of (target, message), descriptor readiness through
// poll(2), and an eventfd that wakes the thread when another thread posts.
#include "platform/message_loop.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/posix/fd_watch.h"

namespace qm::platform {
namespace {

// A pass dispatches what was queued when it began; messages posted by the
// handlers run in the following passes. The bound keeps a handler that
// re-posts to itself on every call from holding ProcessMessages forever
// (its message simply stays queued for the next call).
constexpr int kMaxPasses = 64;

struct Queued {
  uint64_t sequence;
  uint64_t target;
  Message message;
};

struct Watch {
  unsigned events = 0;
  posix::FdCallback callback;
};

struct RunLevel {
  bool quit = false;
  int exit_code = 0;
};

class Loop {
 public:
  Loop() {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
      perror("eventfd");
      abort();
    }
  }
  ~Loop() { close(wake_fd_); }

  // Any thread.
  void Push(uint64_t target, const Message& message) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back({next_sequence_++, target, message});
    }
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof(one));
    (void)ignored;
  }

  void Drop(uint64_t target) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(queue_, [target](const Queued& q) { return q.target == target; });
  }

  bool HasQueued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !queue_.empty();
  }

  uint64_t NextSequence() {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_sequence_;
  }

  // The oldest message posted before limit, if any.
  bool PopBefore(uint64_t limit, Queued* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.empty() || queue_.front().sequence >= limit) {
      return false;
    }
    *out = queue_.front();
    queue_.pop_front();
    return true;
  }

  void DrainWake() {
    uint64_t value;
    while (read(wake_fd_, &value, sizeof(value)) > 0) {
    }
  }

  int wake_fd() const { return wake_fd_; }

  // Loop thread only.
  std::unordered_map<uint64_t, std::shared_ptr<MessageWindow::Handler>> windows;
  std::map<int, std::shared_ptr<Watch>> watches;
  std::vector<RunLevel*> run_levels;
  bool quit_pending = false;
  int pending_exit_code = 0;

 private:
  int wake_fd_ = -1;
  std::mutex mutex_;
  std::deque<Queued> queue_;
  uint64_t next_sequence_ = 0;
};

std::shared_ptr<Loop>& ThreadLoop() {
  thread_local std::shared_ptr<Loop> loop = std::make_shared<Loop>();
  return loop;
}

// Which loop each live window belongs to, for posts from any thread.
std::mutex registry_mutex;
std::unordered_map<uint64_t, std::weak_ptr<Loop>>& Registry() {
  static std::unordered_map<uint64_t, std::weak_ptr<Loop>> registry;
  return registry;
}
std::atomic<uint64_t> next_window_id{1};

ErrorDisplay& CurrentErrorDisplay() {
  static ErrorDisplay display;
  return display;
}

// Runs a handler; an exception that escapes goes to the error display.
template <typename F>
void Guarded(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    ShowApplicationError(e.what());
  } catch (...) {
    ShowApplicationError("Unknown error");
  }
}

unsigned ReventsToEvents(short revents) {
  unsigned events = 0;
  if (revents & POLLIN) {
    events |= posix::kFdReadable;
  }
  if (revents & POLLOUT) {
    events |= posix::kFdWritable;
  }
  if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
    events |= posix::kFdReadable | posix::kFdWritable;
  }
  return events;
}

short EventsToPoll(unsigned events) {
  short result = 0;
  if (events & posix::kFdReadable) {
    result |= POLLIN;
  }
  if (events & posix::kFdWritable) {
    result |= POLLOUT;
  }
  return result;
}

// Readiness of one descriptor now, without waiting.
unsigned PollOne(int fd, unsigned events) {
  pollfd p = {fd, EventsToPoll(events), 0};
  while (true) {
    int rc = poll(&p, 1, 0);
    if (rc > 0) {
      return ReventsToEvents(p.revents);
    }
    if (rc == 0 || errno != EINTR) {
      return 0;
    }
  }
}

bool DispatchPosted(Loop& loop, uint64_t limit) {
  bool any = false;
  Queued item;
  while (loop.PopBefore(limit, &item)) {
    any = true;
    auto it = loop.windows.find(item.target);
    if (it == loop.windows.end()) {
      continue;
    }
    // Holds the handler alive even if it destroys its own window.
    std::shared_ptr<MessageWindow::Handler> handler = it->second;
    Guarded([&] { (*handler)(item.message); });
  }
  return any;
}

bool DispatchReadyFds(Loop& loop) {
  if (loop.watches.empty()) {
    return false;
  }
  std::vector<pollfd> fds;
  for (const auto& [fd, watch] : loop.watches) {
    if (watch->events) {
      fds.push_back({fd, EventsToPoll(watch->events), 0});
    }
  }
  if (fds.empty()) {
    return false;
  }
  int rc;
  do {
    rc = poll(fds.data(), fds.size(), 0);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) {
    return false;
  }
  bool any = false;
  for (const pollfd& p : fds) {
    if (!p.revents) {
      continue;
    }
    auto it = loop.watches.find(p.fd);
    if (it == loop.watches.end() || !it->second->events) {
      continue;  // unwatched or paused by an earlier callback
    }
    std::shared_ptr<Watch> watch = it->second;
    // An earlier callback may have consumed the readiness: look again.
    unsigned events = PollOne(p.fd, watch->events);
    if (!events) {
      continue;
    }
    any = true;
    posix::FdCallback callback = watch->callback;
    Guarded([&] { callback(p.fd, events); });
  }
  return any;
}

}  // namespace

struct MessageWindow::Impl {
  uint64_t id = 0;
  std::shared_ptr<Loop> loop;
};

MessageWindow::MessageWindow(Handler handler) : impl_(std::make_unique<Impl>()) {
  impl_->id = next_window_id++;
  impl_->loop = ThreadLoop();
  impl_->loop->windows[impl_->id] = std::make_shared<Handler>(std::move(handler));
  std::lock_guard<std::mutex> lock(registry_mutex);
  Registry()[impl_->id] = impl_->loop;
}

MessageWindow::~MessageWindow() {
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    Registry().erase(impl_->id);
  }
  impl_->loop->windows.erase(impl_->id);
  impl_->loop->Drop(impl_->id);
}

void MessageWindow::Post(uint32_t id, uintptr_t wparam, intptr_t lparam) const {
  impl_->loop->Push(impl_->id, Message{id, wparam, lparam});
}

uintptr_t MessageWindow::native_handle() const {
  return static_cast<uintptr_t>(impl_->id);
}

void PostToWindow(uintptr_t window_handle, uint32_t id, uintptr_t wparam, intptr_t lparam) {
  std::shared_ptr<Loop> loop;
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = Registry().find(window_handle);
    if (it == Registry().end()) {
      return;
    }
    loop = it->second.lock();
    if (!loop) {
      return;
    }
    // Pushed under the registry lock so that a window destroyed meanwhile
    // has its message dropped by its destructor, never delivered later.
    loop->Push(window_handle, Message{id, wparam, lparam});
  }
}

void ProcessMessages() {
  std::shared_ptr<Loop> keep = ThreadLoop();
  Loop& loop = *keep;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    loop.DrainWake();
    bool any = DispatchPosted(loop, loop.NextSequence());
    any |= DispatchReadyFds(loop);
    if (!any && !loop.HasQueued()) {
      return;
    }
  }
}

void WaitForMessages(int timeout_ms) {
  std::shared_ptr<Loop> keep = ThreadLoop();
  Loop& loop = *keep;
  if (loop.HasQueued()) {
    return;
  }
  std::vector<pollfd> fds;
  fds.push_back({loop.wake_fd(), POLLIN, 0});
  for (const auto& [fd, watch] : loop.watches) {
    if (watch->events) {
      fds.push_back({fd, EventsToPoll(watch->events), 0});
    }
  }
  // An interrupted wait simply ends early; callers check and wait again.
  poll(fds.data(), fds.size(), timeout_ms < 0 ? -1 : timeout_ms);
}

int RunMessageLoop() {
  std::shared_ptr<Loop> keep = ThreadLoop();
  Loop& loop = *keep;
  RunLevel level;
  if (loop.quit_pending) {
    loop.quit_pending = false;
    return loop.pending_exit_code;
  }
  loop.run_levels.push_back(&level);
  while (!level.quit) {
    ProcessMessages();
    if (!level.quit) {
      WaitForMessages(-1);
    }
  }
  loop.run_levels.pop_back();
  return level.exit_code;
}

void QuitMessageLoop(int exit_code) {
  Loop& loop = *ThreadLoop();
  if (loop.run_levels.empty()) {
    // Like a quit message left in the queue: ends the next loop at once.
    loop.quit_pending = true;
    loop.pending_exit_code = exit_code;
    return;
  }
  loop.run_levels.back()->quit = true;
  loop.run_levels.back()->exit_code = exit_code;
}

void SetErrorDisplay(ErrorDisplay display) {
  CurrentErrorDisplay() = std::move(display);
}

void ShowApplicationError(const std::string& text) {
  if (CurrentErrorDisplay()) {
    try {
      CurrentErrorDisplay()(text);
      return;
    } catch (...) {
      // The display itself failed: fall back to standard error.
    }
  }
  fprintf(stderr, "%s\n", text.c_str());
  fflush(stderr);
}

namespace posix {

void WatchFd(int fd, unsigned events, FdCallback callback) {
  Loop& loop = *ThreadLoop();
  auto& watch = loop.watches[fd];
  if (!watch) {
    watch = std::make_shared<Watch>();
  }
  watch->events = events;
  watch->callback = std::move(callback);
  // A thread blocked in WaitForMessages is this one, so no wake-up is needed.
}

void UnwatchFd(int fd) {
  ThreadLoop()->watches.erase(fd);
}

}  // namespace posix
}  // namespace qm::platform
