// What a job beside the message loop's thread needs: a thread that runs one
// function, and a counting semaphore to hand work over. The job touches no
// window, socket or loop; only the data handed to it.
#pragma once

#include <functional>
#include <memory>

namespace qm::platform {

class WorkerThread {
 public:
  // Starts body on a thread of its own; raises std::runtime_error when the
  // system refuses the thread.
  explicit WorkerThread(std::function<void()> body);
  // Waits for body to return.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class Semaphore {
 public:
  explicit Semaphore(int initial);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Waits until the count is positive, then lowers it.
  void Acquire();
  void Release();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qm::platform
