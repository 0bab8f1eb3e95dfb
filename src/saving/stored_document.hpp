// A trace document as a store keeps it: packed a block at a time (see
// document_packing.hpp), each packed block after its length, all of them
// compressed as one zstd frame. Worked out here, without the interpreter, so
// that it can run on a thread of its own while the program goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "record/msgpack_write.hpp"

namespace tavo {

// Whether this build can compress documents (it was built with zstd).
bool can_store_documents();

// The stored form of `document`, packed `block_bytes` at a time and compressed
// at `level`. A document of one block is compressed knowing its size, which a
// reader uses to decompress it at once. Throws std::runtime_error when zstd
// fails (or this build has none), std::bad_alloc when memory runs out.
ByteBuffer stored_document(std::span<const std::uint8_t> document, std::size_t block_bytes,
                           int level);

}  // namespace tavo
