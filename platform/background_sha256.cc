#include "platform/background_sha256.h"

#include <cassert>
#include <cstring>

namespace qm::platform {

BackgroundSha256::BackgroundSha256() {
  for (Block& block : blocks_) {
    block.bytes.reserve(kBlockSize);
  }
  worker_ = std::make_unique<WorkerThread>([this] { Work(); });
}

BackgroundSha256::~BackgroundSha256() {
  if (!finished_) {
    // The worker hashes what is queued before it sees the last block; that
    // is at most kBlockCount blocks.
    blocks_[filling_].bytes.clear();
    Hand(true);
  }
  worker_.reset();
}

void BackgroundSha256::Update(const void* data, size_t size) {
  assert(!finished_);
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    std::string& block = blocks_[filling_].bytes;
    const size_t room = kBlockSize - block.size();
    const size_t take = size < room ? size : room;
    block.append(bytes, take);
    bytes += take;
    size -= take;
    if (block.size() == kBlockSize) {
      Hand(false);
    }
  }
}

Sha256Digest BackgroundSha256::Final() {
  assert(!finished_);
  Hand(true);
  worker_.reset();
  if (failure_) {
    std::rethrow_exception(failure_);
  }
  return hash_.Final();
}

void BackgroundSha256::Hand(bool last) {
  blocks_[filling_].last = last;
  full_.Release();
  if (last) {
    finished_ = true;
    return;
  }
  free_.Acquire();
  filling_ = (filling_ + 1) % kBlockCount;
  blocks_[filling_].bytes.clear();
}

void BackgroundSha256::Work() {
  for (int next = 0;; next = (next + 1) % kBlockCount) {
    full_.Acquire();
    Block& block = blocks_[next];
    if (!failure_) {
      try {
        hash_.Update(block.bytes.data(), block.bytes.size());
      } catch (...) {
        // Kept for Final; the worker goes on taking blocks so the caller
        // never waits for a free one in vain.
        failure_ = std::current_exception();
      }
    }
    if (block.last) {
      return;
    }
    free_.Release();
  }
}

}  // namespace qm::platform
