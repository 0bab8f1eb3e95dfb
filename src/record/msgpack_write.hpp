// MessagePack encoding primitives and key/value helpers.
//
// Every writer appends one item to a byte buffer and always picks the smallest
// form for the value, so the same input always gives the same bytes. Nothing
// here touches the interpreter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo {

using ByteBuffer = std::vector<std::uint8_t>;

void write_nil(ByteBuffer& buf);
void write_bool(ByteBuffer& buf, bool value);
void write_uint(ByteBuffer& buf, std::uint64_t value);
void write_int(ByteBuffer& buf, std::int64_t value);
void write_f64(ByteBuffer& buf, double value);
void write_str_header(ByteBuffer& buf, std::uint32_t length);
// Appends raw bytes (as one block copy, not byte by byte).
inline void append_bytes(ByteBuffer& buf, std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  buf.insert(buf.end(), data, data + bytes.size());
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
}  // namespace tavo
