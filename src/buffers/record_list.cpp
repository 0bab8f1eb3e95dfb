#include "buffers/record_list.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace tavo {

namespace {

// A thread that buffers a handful of records should not hold a large chunk;
// a busy one fills large chunks and wastes at most one partly filled.
constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kChunk = ChunkPool::kChunkSize;

}  // namespace

RecordList::RecordList(RecordList&& other) noexcept
    : pool_(other.pool_),
      chunks_(std::move(other.chunks_)),
      count_(std::exchange(other.count_, 0)),
      bytes_(std::exchange(other.bytes_, 0)) {
  other.chunks_.clear();
}

RecordList& RecordList::operator=(RecordList&& other) noexcept {
  if (this != &other) {
    release();
    pool_ = other.pool_;
    chunks_ = std::move(other.chunks_);
    other.chunks_.clear();
    count_ = std::exchange(other.count_, 0);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void RecordList::release() {
  if (pool_ != nullptr) {
    for (Chunk& chunk : chunks_) {
      if (chunk.capacity == kChunk) {
        pool_->give(std::move(chunk.data));
      }
    }
  }
  chunks_.clear();
  count_ = 0;
  bytes_ = 0;
}

void RecordList::append(const std::uint8_t* data, std::size_t size) {
  ++count_;
  bytes_ += size;
  while (size > 0) {
    if (chunks_.empty() || chunks_.back().size == chunks_.back().capacity) {
      const std::size_t capacity = std::max(chunks_.empty() ? kFirstChunk : kChunk, size);
      chunks_.push_back(Chunk{capacity == kChunk && pool_ != nullptr
                                  ? pool_->take()
                                  : std::make_unique_for_overwrite<std::uint8_t[]>(capacity),
                              0, capacity});
    }
    Chunk& chunk = chunks_.back();
    const std::size_t take = std::min(size, chunk.capacity - chunk.size);
    std::memcpy(chunk.data.get() + chunk.size, data, take);
    chunk.size += take;
    data += take;
    size -= take;
  }
}

void RecordList::prepend(RecordList&& earlier) {
  if (earlier.chunks_.empty()) {
    return;
  }
  earlier.chunks_.insert(earlier.chunks_.end(), std::make_move_iterator(chunks_.begin()),
                         std::make_move_iterator(chunks_.end()));
  chunks_ = std::move(earlier.chunks_);
  count_ += earlier.count_;
  bytes_ += earlier.bytes_;
  earlier.chunks_.clear();
  earlier.count_ = 0;
  earlier.bytes_ = 0;
}

void RecordList::write_array_header(ByteBuffer& out) const {
  write_array_len(out, static_cast<std::uint32_t>(count_));
}

std::uint8_t* RecordList::copy_records(std::uint8_t* at) const {
  for (const Chunk& chunk : chunks_) {
    at = std::copy_n(chunk.data.get(), chunk.size, at);
  }
  return at;
}

std::size_t RecordList::capacity() const {
  std::size_t total = 0;
  for (const Chunk& chunk : chunks_) {
    total += chunk.capacity;
  }
  return total;
}

}  // namespace tavo
