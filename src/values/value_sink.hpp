// The value encoder's output cursor and the writers that put MessagePack
// items at it (the forms themselves are record/msgpack_write.hpp's).
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "interop/pyref.hpp"
#include "record/msgpack_write.hpp"

namespace tavo::values {

// The encoder's output: bytes written at a cursor into storage that only
// grows, so that the hot path is a pointer comparison and a copy. Cut forms
// move back (shrink) and rearrange what was written (data). The storage is
// the thread's reusable buffer; an encoding returned as bytes that grows past
// `move_at` moves to a bytes object and continues there, so that a large
// value is not copied once more at the end.
class Sink {
 public:
  // Writes from the start of `storage` (scratch), or, with `append`, after
  // the bytes it holds (a record being made); `storage` is then sized to
  // what was written by end_append().
  Sink(ByteBuffer& storage, std::size_t move_at, std::size_t bytes_hint, bool append = false)
      : buf_(storage), move_at_(move_at), bytes_hint_(bytes_hint) {
    const std::size_t pos = append ? buf_.size() : 0;
    if (append) {
      buf_.resize(buf_.capacity());  // the room the record has already: no fill, no move
    }
    rebase(buf_.data(), pos, buf_.size());
  }
  void end_append(std::size_t size) { buf_.resize(size); }
  std::size_t size() const { return static_cast<std::size_t>(cur_ - begin_); }
  void shrink(std::size_t n) { cur_ = begin_ + n; }
  std::uint8_t* data() { return begin_; }
  void put(std::uint8_t byte) {
    *claim(1) = byte;
    ++cur_;
  }
  void put(const void* data, std::size_t n) {
    std::memcpy(claim(n), data, n);
    cur_ += n;
  }
  void put(std::string_view text) { put(text.data(), text.size()); }
  // Room for `n` more bytes at the cursor; `commit` then counts those written.
  std::uint8_t* claim(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) < n) [[unlikely]] {
      grow(n);
    }
    return cur_;
  }
  void commit(std::size_t n) { cur_ += n; }
  // Appends `n` bytes written earlier from `from`.
  void put_from(std::size_t from, std::size_t n) {
    std::uint8_t* at = claim(n);
    std::memmove(at, begin_ + from, n);
    cur_ += n;
  }
  // Sets the cursor after bytes written into room that `claim` made.
  void move_to(std::uint8_t* at) { cur_ = at; }
  // The bytes object the output moved to, cut to the bytes written; null if
  // it did not move (or on error, with an exception set).
  PyRef take_bytes() {
    if (!bytes_) {
      return PyRef();
    }
    PyObject* raw = bytes_.release();
    if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size())) != 0) {
      return PyRef();
    }
    return PyRef::steal(raw);
  }
  bool moved() const { return static_cast<bool>(bytes_); }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t pos = size();
    const std::size_t want = std::max(2 * static_cast<std::size_t>(end_ - begin_), pos + n + 256);
    if (bytes_) {
      PyObject* raw = bytes_.release();
      if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(want)) != 0) {
        throw std::bad_alloc();
      }
      bytes_ = PyRef::steal(raw);
      rebase(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(raw)), pos, want);
    } else if (pos + n > move_at_) {
      const std::size_t room = std::max(want, bytes_hint_ + bytes_hint_ / 4);
      bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room)));
      if (!bytes_) {
        throw std::bad_alloc();
      }
      auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
      std::memcpy(data, begin_, pos);
      rebase(data, pos, room);
    } else {
      if (buf_.size() < want) {
        buf_.resize(want);
      }
      rebase(buf_.data(), pos, buf_.size());
    }
  }
  void rebase(std::uint8_t* data, std::size_t pos, std::size_t capacity) {
    begin_ = data;
    cur_ = begin_ + pos;
    end_ = begin_ + (bytes_ ? capacity : std::min(capacity, move_at_));
  }
  ByteBuffer& buf_;
  const std::size_t move_at_;
  const std::size_t bytes_hint_;
  PyRef bytes_;
  std::uint8_t* begin_ = nullptr;
  std::uint8_t* cur_ = nullptr;
  std::uint8_t* end_ = nullptr;
};

[[gnu::always_inline]] inline void put_int(Sink& out, long long value) {
  out.commit(mp::int_at(out.claim(9), value));
}

inline void put_double(Sink& out, double value) { out.commit(mp::f64_at(out.claim(9), value)); }

inline void put_uint64(Sink& out, std::uint64_t value) {
  out.commit(mp::uint64_at(out.claim(9), value));
}

[[gnu::always_inline]] inline void put_map_header(Sink& out, std::size_t count) {
  out.commit(mp::map_header_at(out.claim(5), count));
}

[[gnu::always_inline]] inline void put_array_header(Sink& out, std::size_t count) {
  out.commit(mp::array_header_at(out.claim(5), count));
}

inline void put_str(Sink& out, const char* data, std::size_t n) {
  out.commit(mp::str_at(out.claim(n + 5), data, n));
}

inline void put_str(Sink& out, std::string_view text) { put_str(out, text.data(), text.size()); }

inline void put_bin(Sink& out, std::string_view data) {
  out.commit(mp::bin_header_at(out.claim(5), data.size()));
  out.put(data);
}

}  // namespace tavo::values
