// Reading MessagePack in place: headers, short scalars and where a value ends,
// with no decoding of what is skipped and no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace tavo {

// The offset just past the one MessagePack value at `pos`, or nullopt when the
// bytes there do not hold a complete value. Walks headers and lengths only,
// without recursion, so arbitrarily deep nesting cannot exhaust the stack.
std::optional<std::size_t> msgpack_value_end(const std::uint8_t* data, std::size_t size,
                                             std::size_t pos);

// How many of the next `most` bytes, from `data`, are one-byte ints (positive
// or negative fixints) before any other byte, counted eight at a time. Lists
// of small numbers are common in recorded values, and skipping them a word at
// a time spares the walks a load per item.
[[gnu::always_inline]] inline std::size_t fixint_run(const std::uint8_t* data, std::size_t most) {
  // Most walks meet other values far more often: their first byte settles it
  // before a word is read.
  if (most < 8 || static_cast<std::uint8_t>(data[0] + 0x20) >= 0xa0) {
    return 0;
  }
  std::size_t n = 0;
  while (most - n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, data + n, sizeof word);
    // A byte with its top bit set is a fixint only as 0b111xxxxx.
    const std::uint64_t high = word & 0x8080808080808080ULL;
    if ((high & ~((word << 1) & (word << 2))) != 0) {
      break;
    }
    n += 8;
  }
  return n;
}

// True when `data` holds exactly one complete MessagePack value and nothing
// after it.
inline bool is_single_msgpack_value(const std::uint8_t* data, std::size_t size) {
  std::optional<std::size_t> end = msgpack_value_end(data, size, 0);
  return end && *end == size;
}

// A cursor over MessagePack bytes. A read that finds another kind of value,
// or one cut short, returns nullopt (or false) and leaves the cursor where it was.
class MsgpackReader {
 public:
  enum class Kind { kNil, kBool, kInt, kFloat, kStr, kBin, kArray, kMap, kExt, kEnd, kInvalid };

  MsgpackReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t pos() const { return pos_; }
  void seek(std::size_t pos) { pos_ = pos; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  Kind peek() const;
  std::optional<std::uint32_t> map_header();
  std::optional<std::uint32_t> array_header();
  std::optional<std::string_view> str();
  std::optional<double> float_value();      // a float 32 or 64
  std::optional<std::int64_t> int_value();  // an integer that fits in 64 signed bits
  bool nil();
  bool skip();

 private:
  std::optional<std::uint32_t> container_header(std::uint8_t fix_low, std::uint8_t fix_high,
                                                std::uint8_t tag16, std::uint8_t tag32);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace tavo
