// A list of encoded records kept back to back in chunks.
//
// Records are only ever appended, moved between lists whole, and written out
// as one run of bytes, so the list keeps their bytes contiguously in large
// chunks plus a count: a buffered record costs its own size and nothing more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "buffers/chunk_pool.hpp"
#include "record/msgpack_write.hpp"

namespace tavo {

class RecordList {
 public:
  // With a pool, full-size chunks come from it and go back to it.
  explicit RecordList(ChunkPool* pool = nullptr) : pool_(pool) {}
  RecordList(RecordList&& other) noexcept;
  RecordList& operator=(RecordList&& other) noexcept;
  ~RecordList() { release(); }

  void append(const std::uint8_t* data, std::size_t size);
  // Puts `earlier` in front of this list's records, leaving it empty.
  void prepend(RecordList&& earlier);
  // Appends the header of an array of the records.
  void write_array_header(ByteBuffer& out) const;
  // Copies every record, in order, to `at`; returns where the copy ends.
  std::uint8_t* copy_records(std::uint8_t* at) const;

  std::size_t count() const { return count_; }
  std::size_t byte_size() const { return bytes_; }
  // Bytes allocated for the records, for measuring overhead.
  std::size_t capacity() const;
  bool empty() const { return count_ == 0; }

 private:
  struct Chunk {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    std::size_t capacity = 0;
  };
  // Gives the chunks back to the pool and empties the list.
  void release();

  ChunkPool* pool_;
  std::vector<Chunk> chunks_;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace tavo
