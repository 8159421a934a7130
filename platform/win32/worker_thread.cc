#include "platform/worker_thread.h"

#include <windows.h>

#include <climits>
#include <exception>
#include <stdexcept>
#include <utility>

namespace qm::platform {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != nullptr) {
      ::CloseHandle(handle);
    }
  }
};
using OwnedHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

}  // namespace

struct WorkerThread::State {
  // The body must not raise: nothing could catch it on that thread.
  static DWORD WINAPI Run(LPVOID parameter) {
    try {
      static_cast<const State*>(parameter)->body();
    } catch (...) {
      std::terminate();
    }
    return 0;
  }

  std::function<void()> body;
  OwnedHandle thread;
};

WorkerThread::WorkerThread(std::function<void()> body) : state_(std::make_unique<State>()) {
  state_->body = std::move(body);
  // CreateThread rather than std::thread, which would need winpthreads.
  state_->thread.reset(::CreateThread(nullptr, 0, &State::Run, state_.get(), 0, nullptr));
  if (!state_->thread) {
    throw std::runtime_error("a worker thread could not start");
  }
}

WorkerThread::~WorkerThread() {
  ::WaitForSingleObject(state_->thread.get(), INFINITE);
}

struct Semaphore::State {
  OwnedHandle handle;
};

Semaphore::Semaphore(int initial) : state_(std::make_unique<State>()) {
  state_->handle.reset(::CreateSemaphoreW(nullptr, initial, LONG_MAX, nullptr));
  if (!state_->handle) {
    throw std::runtime_error("a semaphore could not be made");
  }
}

Semaphore::~Semaphore() = default;

void Semaphore::Acquire() {
  ::WaitForSingleObject(state_->handle.get(), INFINITE);
}

void Semaphore::Release() {
  ::ReleaseSemaphore(state_->handle.get(), 1, nullptr);
}

}  // namespace qm::platform
