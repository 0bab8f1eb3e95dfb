// Record memory handed back by the traces taken for documents, kept for the
// records that follow.
//
// A taken trace frees its chunks at once, and the allocator returns the top of
// its heap to the system: the next trace's records would then fault every page
// in anew, at about 2 µs a page on a virtual machine (some 40 ns a record).
// Keeping a few chunks lets recording reuse memory that is already mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tavo {

class ChunkPool {
 public:
  // The size of every chunk the pool hands out and keeps.
  static constexpr std::size_t kChunkSize = 64 * 1024;
  // At most this many chunks are kept (2 MiB).
  static constexpr std::size_t kKeep = 32;

  ChunkPool();
  ChunkPool(const ChunkPool&) = delete;
  ChunkPool& operator=(const ChunkPool&) = delete;

  // A chunk of kChunkSize bytes, kept or new (contents undefined).
  std::unique_ptr<std::uint8_t[]> take();
  // Keeps a chunk of kChunkSize bytes, or frees it when enough are kept.
  void give(std::unique_ptr<std::uint8_t[]> chunk);
  // Bytes kept, for measuring memory.
  std::size_t kept_bytes();
  // In a forked child: see TraceBuffers::remake_locks.
  void remake_lock();

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
};

}  // namespace tavo
