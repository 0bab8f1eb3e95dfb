// A reversible rewriting of a trace document's bytes before a store
// compresses them, for the two things a compressor cannot shrink by itself:
// frame ids (80 random bits each, met two to four times at distances it
// codes poorly) and record timestamps (eight bytes each, whose low bytes look
// random). A document is packed in blocks, each on its own.
//
// In a packed block every byte stands for itself except 0xc1 (a byte no
// MessagePack value begins with, though one may hold it), which starts:
//   c1 00            the byte c1;
//   c1 01..40        the frame id at that place (1 is the first) in the list of
//                    the latest 64 the block met, most recent first;
//   c1 fd + 8 bytes  the entry "timestamp" with a float 64 whose bits are those
//                    of the previous such entry (0 for the first) plus this
//                    number (little-endian, modulo 2**64);
//   c1 ff + 16 bytes a frame id not in that list: its 128 bits, big-endian.
// A frame id met again moves to the front of the list; one written whole goes
// in at the front, and the 65th leaves it. (An id the list has lost is written
// whole again: it is rare, as a frame's id is mostly met again within a few
// records.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tavo {

// The most bytes the packed form of a block of `size` bytes takes (a block of
// c1 bytes only).
constexpr std::size_t packed_size_bound(std::size_t size) { return 2 * size; }

// Writes the packed form of `block` at `out`, which has room for
// packed_size_bound() bytes; returns the bytes written.
std::size_t pack_document_block(std::span<const std::uint8_t> block, std::uint8_t* out);

// A packed block as a store keeps it: after its length (4 bytes,
// little-endian), so that a reader finds where it ends.
constexpr std::size_t kBlockLengthBytes = 4;

// Writes the packed form of `block` after its length at `out`, which has room
// for kBlockLengthBytes + packed_size_bound() bytes; returns the bytes
// written, or nullopt when the packed form takes 4 GiB or more.
std::optional<std::size_t> pack_framed_block(std::span<const std::uint8_t> block,
                                             std::uint8_t* out);

// The bytes that `packed` stands for, or nullopt when it is not a packed block
// (cut, or with a code this packing does not write).
std::optional<std::size_t> unpacked_size(std::span<const std::uint8_t> packed);

// Writes what `packed` stands for at `out`, which has room for the size that
// unpacked_size() gave for it.
void unpack_document_block(std::span<const std::uint8_t> packed, std::uint8_t* out);

}  // namespace tavo
