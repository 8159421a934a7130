// SHA-256 of a stream computed on a worker thread beside the caller's. Update
// copies the bytes into a block and returns; the worker hashes full blocks
// while the caller goes on receiving and unpacking, so hashing a download
// costs the message loop's thread a copy instead of the hash. Memory stays
// at kBlockCount blocks whatever the stream's length.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <memory>
#include <string>

#include "platform/sha256.h"
#include "platform/worker_thread.h"

namespace qm::platform {

class BackgroundSha256 {
 public:
  // Raises std::runtime_error when the system offers no SHA-256 or no thread.
  BackgroundSha256();
  // Stops the worker, dropping what is not hashed yet.
  ~BackgroundSha256();
  BackgroundSha256(const BackgroundSha256&) = delete;
  BackgroundSha256& operator=(const BackgroundSha256&) = delete;

  void Update(const void* data, size_t size);
  // The digest of everything given; raises what the hash raised. The object
  // is spent afterwards.
  Sha256Digest Final();

 private:
  // Large enough that handing a block over (two semaphore calls) is rare
  // beside hashing it, small enough that the blocks stay in the caches.
  static constexpr size_t kBlockSize = size_t{256} << 10;
  static constexpr int kBlockCount = 4;

  struct Block {
    std::string bytes;
    bool last = false;  // the worker stops after this one
  };

  void Hand(bool last);
  void Work();

  Sha256 hash_;
  std::array<Block, kBlockCount> blocks_;
  int filling_ = 0;  // the caller's block; the worker's follow it in ring order
  // The semaphores order every touch of a block: the caller fills a block
  // only after taking it from free_, the worker reads it only after taking
  // it from full_.
  Semaphore free_{kBlockCount - 1};
  Semaphore full_{0};
  std::exception_ptr failure_;  // written by the worker before its last release
  bool finished_ = false;
  std::unique_ptr<WorkerThread> worker_;  // last: started after everything it reads
};

}  // namespace qm::platform
