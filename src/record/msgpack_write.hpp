// MessagePack encoding primitives and key/value helpers.
//
// Every writer appends one item to a byte buffer and always picks the smallest
// form for the value, so the same input always gives the same bytes. Nothing
// here touches the interpreter.
#pragma once

#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavo {

// Makes room without zero-filling it: writers size a buffer for the largest
// form they may write and then set every byte they keep, so the fill would be
// wasted on every record.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  explicit UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using ByteBuffer = std::vector<std::uint8_t, UninitAllocator<std::uint8_t>>;

// Writers into room that the caller has made (9 bytes for a number, 5 for a
// header, besides the bytes of a text): each returns the bytes it wrote. The
// buffer writers below, SpanWriter and the value encoder's cursor are all
// built on these, so that each form has one definition.
namespace mp {

template <class T>
[[gnu::always_inline]] inline void store_be(std::uint8_t* at, T value) {
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(T) == 2) {
      value = __builtin_bswap16(value);
    } else if constexpr (sizeof(T) == 4) {
      value = __builtin_bswap32(value);
    } else if constexpr (sizeof(T) == 8) {
      value = __builtin_bswap64(value);
    }
  }
  std::memcpy(at, &value, sizeof(value));
}

// `tag`, then the low `bytes` bytes of `value`, big-endian: one store for each
// width (a constant where this is inlined) rather than a store per byte.
[[gnu::always_inline]] inline std::size_t tagged(std::uint8_t* at, std::uint8_t tag,
                                                 std::uint64_t value, int bytes) {
  at[0] = tag;
  switch (bytes) {
    case 1:
      at[1] = static_cast<std::uint8_t>(value);
      break;
    case 2:
      store_be(at + 1, static_cast<std::uint16_t>(value));
      break;
    case 4:
      store_be(at + 1, static_cast<std::uint32_t>(value));
      break;
    default:
      assert(bytes == 8);
      store_be(at + 1, value);
      break;
  }
  return 1 + static_cast<std::size_t>(bytes);
}

[[gnu::always_inline]] inline std::size_t uint_at(std::uint8_t* at, std::uint64_t value) {
  return value <= 0x7f            ? (at[0] = static_cast<std::uint8_t>(value), 1)
         : value <= 0xff          ? tagged(at, 0xcc, value, 1)
         : value <= 0xffff        ? tagged(at, 0xcd, value, 2)
         : value <= 0xffffffffULL ? tagged(at, 0xce, value, 4)
                                  : tagged(at, 0xcf, value, 8);
}

// As uint_at(), for a value below 2**32 (an int's single digit).
[[gnu::always_inline]] inline std::size_t small_uint_at(std::uint8_t* at, std::uint32_t value) {
  return value <= 0x7f     ? (at[0] = static_cast<std::uint8_t>(value), 1)
         : value <= 0xff   ? tagged(at, 0xcc, value, 1)
         : value <= 0xffff ? tagged(at, 0xcd, value, 2)
                           : tagged(at, 0xce, value, 4);
}

[[gnu::always_inline]] inline std::size_t int_at(std::uint8_t* at, std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  if (value >= 0) {
    return uint_at(at, bits);
  }
  return value >= -32             ? (at[0] = static_cast<std::uint8_t>(bits), 1)
         : value >= -128          ? tagged(at, 0xd0, bits, 1)
         : value >= -32768        ? tagged(at, 0xd1, bits, 2)
         : value >= -2147483648LL ? tagged(at, 0xd2, bits, 4)
                                  : tagged(at, 0xd3, bits, 8);
}

// Always the full 8 bytes, for the one form an unsigned value beyond the
// signed range has.
inline std::size_t uint64_at(std::uint8_t* at, std::uint64_t value) {
  return tagged(at, 0xcf, value, 8);
}

inline std::size_t f64_at(std::uint8_t* at, double value) {
  return tagged(at, 0xcb, std::bit_cast<std::uint64_t>(value), 8);
}

inline std::size_t nil_at(std::uint8_t* at) {
  at[0] = 0xc0;
  return 1;
}

inline std::size_t bool_at(std::uint8_t* at, bool value) {
  at[0] = value ? 0xc3 : 0xc2;
  return 1;
}

[[gnu::always_inline]] inline std::size_t str_header_at(std::uint8_t* at, std::size_t length) {
  if (length <= 31) {  // fixstr: every key, most values
    at[0] = static_cast<std::uint8_t>(0xa0 | length);
    return 1;
  }
  return length <= 0xff     ? tagged(at, 0xd9, length, 1)
         : length <= 0xffff ? tagged(at, 0xda, length, 2)
                            : tagged(at, 0xdb, length, 4);
}

inline std::size_t bin_header_at(std::uint8_t* at, std::size_t length) {
  return length <= 0xff     ? tagged(at, 0xc4, length, 1)
         : length <= 0xffff ? tagged(at, 0xc5, length, 2)
                            : tagged(at, 0xc6, length, 4);
}

// A header of the form fix_base + n up to 15, or tag16 / tag32 with the count.
[[gnu::always_inline]] inline std::size_t count_header_at(std::uint8_t* at, std::size_t count,
                                                          std::uint8_t fix_base, std::uint8_t tag16,
                                                          std::uint8_t tag32) {
  if (count <= 15) {
    at[0] = static_cast<std::uint8_t>(fix_base + count);
    return 1;
  }
  return count <= 0xffff ? tagged(at, tag16, count, 2) : tagged(at, tag32, count, 4);
}

[[gnu::always_inline]] inline std::size_t map_header_at(std::uint8_t* at, std::size_t count) {
  return count_header_at(at, count, 0x80, 0xde, 0xdf);
}

[[gnu::always_inline]] inline std::size_t array_header_at(std::uint8_t* at, std::size_t count) {
  return count_header_at(at, count, 0x90, 0xdc, 0xdd);
}

constexpr std::size_t str_header_size(std::size_t length) {
  return length <= 31 ? 1 : length <= 0xff ? 2 : length <= 0xffff ? 3 : 5;
}

// The bytes a str of `length` bytes takes.
constexpr std::size_t str_size(std::size_t length) { return str_header_size(length) + length; }

// Copies n <= 16 bytes with a few fixed-size moves instead of a call of
// memcpy (most keys and short texts).
[[gnu::always_inline]] inline void copy_short(std::uint8_t* to, const char* from, std::size_t n) {
  if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = static_cast<std::uint8_t>(from[0]);
    to[n / 2] = static_cast<std::uint8_t>(from[n / 2]);
    to[n - 1] = static_cast<std::uint8_t>(from[n - 1]);
  }
}

// A whole str: header and text (str_size(n) bytes of room).
[[gnu::always_inline]] inline std::size_t str_at(std::uint8_t* at, const char* data,
                                                 std::size_t n) {
  const std::size_t header = str_header_at(at, n);
  if (n <= 16) {
    copy_short(at + header, data, n);
  } else {
    std::memcpy(at + header, data, n);
  }
  return header + n;
}

}  // namespace mp

// Appenders: each writes one item at the end of a buffer.
void write_nil(ByteBuffer& buf);
void write_bool(ByteBuffer& buf, bool value);
void write_uint(ByteBuffer& buf, std::uint64_t value);
void write_int(ByteBuffer& buf, std::int64_t value);
void write_f64(ByteBuffer& buf, double value);
void write_str_header(ByteBuffer& buf, std::uint32_t length);
// Appends raw bytes as one block copy: insert() would copy them byte by byte,
// constructing each through the allocator.
inline void append_bytes(ByteBuffer& buf, const std::uint8_t* data, std::size_t size) {
  const std::size_t at = buf.size();
  buf.resize(at + size);  // left uninitialised by the allocator
  if (size != 0) {
    std::memcpy(buf.data() + at, data, size);
  }
}
inline void append_bytes(ByteBuffer& buf, std::string_view bytes) {
  append_bytes(buf, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}
inline void write_str(ByteBuffer& buf, std::string_view text) {
  if (text.size() <= 31) {  // fixstr: every key, most values
    buf.push_back(static_cast<std::uint8_t>(0xa0 | text.size()));
  } else {
    write_str_header(buf, static_cast<std::uint32_t>(text.size()));
  }
  append_bytes(buf, text);
}
void write_map_len(ByteBuffer& buf, std::uint32_t count);
void write_array_len(ByteBuffer& buf, std::uint32_t count);

// One map entry whose key is text.
void write_str_pair(ByteBuffer& buf, std::string_view key, std::optional<std::string_view> value);
void write_int_pair(ByteBuffer& buf, std::string_view key, std::optional<std::uint64_t> value);
void write_f64_pair(ByteBuffer& buf, std::string_view key, double value);

// Writes a run of items into room taken from the end of a buffer at once, so
// that a record's many small parts cost one buffer growth instead of one each.
// The room is an upper bound of what is written (each str header counts as 5
// bytes, each int as 9); `finish` gives back the unused part.
class SpanWriter {
 public:
  // The room a str of `length` bytes may take.
  static constexpr std::size_t str_bound(std::size_t length) { return length + 5; }

  SpanWriter(ByteBuffer& buf, std::size_t room) : buf_(buf), start_(buf.size()) {
    buf.resize(start_ + room);
    p_ = buf.data() + start_;
    end_ = buf.data() + buf.size();
  }
  SpanWriter(const SpanWriter&) = delete;
  SpanWriter& operator=(const SpanWriter&) = delete;

  void finish() { buf_.resize(static_cast<std::size_t>(p_ - buf_.data())); }

  void raw(std::string_view bytes) {
    assert(bytes.size() <= static_cast<std::size_t>(end_ - p_));
    std::memcpy(p_, bytes.data(), bytes.size());
    p_ += bytes.size();
  }
  void byte(std::uint8_t value) {
    assert(p_ < end_);
    *p_++ = value;
  }
  void nil() { byte(0xc0); }
  void fixmap(std::uint8_t count) {
    assert(count <= 15);
    byte(static_cast<std::uint8_t>(0x80 | count));
  }
  void str_header(std::size_t length) { p_ += mp::str_header_at(room(5), length); }
  void str(std::string_view text) {
    str_header(text.size());
    raw(text);
  }
  void str_or_nil(std::optional<std::string_view> text) {
    if (text) {
      str(*text);
    } else {
      nil();
    }
  }
  void uint(std::uint64_t value) { p_ += mp::uint_at(room(9), value); }
  void integer(std::int64_t value) { p_ += mp::int_at(room(9), value); }
  void f64(double value) { p_ += mp::f64_at(room(9), value); }

 private:
  // The cursor, where `bound` bytes of room are left.
  std::uint8_t* room([[maybe_unused]] std::size_t bound) {
    assert(bound <= static_cast<std::size_t>(end_ - p_));
    return p_;
  }

  ByteBuffer& buf_;
  std::size_t start_;
  std::uint8_t* p_;
  std::uint8_t* end_;
};

}  // namespace tavo
