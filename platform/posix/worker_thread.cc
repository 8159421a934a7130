#include "platform/worker_thread.h"

#include <semaphore>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace qm::platform {

struct WorkerThread::State {
  std::thread thread;
};

WorkerThread::WorkerThread(std::function<void()> body) : state_(std::make_unique<State>()) {
  try {
    state_->thread = std::thread(std::move(body));
  } catch (const std::system_error& error) {
    throw std::runtime_error(std::string("a worker thread could not start: ") + error.what());
  }
}

WorkerThread::~WorkerThread() {
  state_->thread.join();
}

struct Semaphore::State {
  explicit State(int initial) : count(initial) {}
  std::counting_semaphore<> count;
};

Semaphore::Semaphore(int initial) : state_(std::make_unique<State>(initial)) {}
Semaphore::~Semaphore() = default;

void Semaphore::Acquire() {
  state_->count.acquire();
}

void Semaphore::Release() {
  state_->count.release();
}

}  // namespace qm::platform
