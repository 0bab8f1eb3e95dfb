// The records one event produced, on their way to the trace buffers.
#pragma once

#include <cstddef>
#include <vector>

#include "record/msgpack_write.hpp"

namespace tavo {

// What a record means to the buffers.
enum class RecordKind : unsigned char { kOrdinary, kStartTest, kEndTest };

// The records one event produced, in production order, kept in one reusable
// per-thread byte buffer.
struct EventRecords {
  struct Entry {
    std::size_t offset;
    std::size_t size;
    RecordKind kind;
  };
  ByteBuffer bytes;
  std::vector<Entry> entries;
  // How many entries, from the first, were buffered or dropped (so that an
  // event cut short knows how many of its records were lost).
  std::size_t handled = 0;

  void clear() {
    bytes.clear();
    entries.clear();
    handled = 0;
  }
  // Marks the bytes written since `offset` as one record.
  void add(std::size_t offset, RecordKind kind) {
    entries.push_back({offset, bytes.size() - offset, kind});
  }
};

}  // namespace tavo
