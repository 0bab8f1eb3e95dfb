#include "buffers/chunk_pool.hpp"

#include <utility>

namespace tavo {

// The lock is held for a few instructions and never while waiting for the
// interpreter or anything else, so a plain lock is safe with the interpreter
// lock held.

// Room for every chunk kept, so that giving one back never allocates.
ChunkPool::ChunkPool() { chunks_.reserve(kKeep); }

std::unique_ptr<std::uint8_t[]> ChunkPool::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!chunks_.empty()) {
      std::unique_ptr<std::uint8_t[]> chunk = std::move(chunks_.back());
      chunks_.pop_back();
      return chunk;
    }
  }
  return std::make_unique_for_overwrite<std::uint8_t[]>(kChunkSize);
}

void ChunkPool::give(std::unique_ptr<std::uint8_t[]> chunk) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (chunks_.size() < kKeep) {
    chunks_.push_back(std::move(chunk));
  }
  // else freed here, as the lock is let go
}

std::size_t ChunkPool::kept_bytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return chunks_.size() * kChunkSize;
}

void ChunkPool::remake_lock() { std::construct_at(&mutex_); }

}  // namespace tavo
