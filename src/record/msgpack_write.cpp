#include "record/msgpack_write.hpp"

namespace tavo {

namespace {

// Appends what `write` puts into room of 9 bytes (the largest number or header).
template <class Write>
void append_with(ByteBuffer& buf, Write write) {
  std::uint8_t room[9];
  append_bytes(buf, room, write(room));
}

}  // namespace

void write_nil(ByteBuffer& buf) { buf.push_back(0xc0); }

void write_bool(ByteBuffer& buf, bool value) { buf.push_back(value ? 0xc3 : 0xc2); }

void write_uint(ByteBuffer& buf, std::uint64_t value) {
  append_with(buf, [value](std::uint8_t* at) { return mp::uint_at(at, value); });
}

void write_int(ByteBuffer& buf, std::int64_t value) {
  append_with(buf, [value](std::uint8_t* at) { return mp::int_at(at, value); });
}

void write_f64(ByteBuffer& buf, double value) {
  append_with(buf, [value](std::uint8_t* at) { return mp::f64_at(at, value); });
}

void write_str_header(ByteBuffer& buf, std::uint32_t length) {
  append_with(buf, [length](std::uint8_t* at) { return mp::str_header_at(at, length); });
}

void write_map_len(ByteBuffer& buf, std::uint32_t count) {
  append_with(buf, [count](std::uint8_t* at) { return mp::map_header_at(at, count); });
}

void write_array_len(ByteBuffer& buf, std::uint32_t count) {
  append_with(buf, [count](std::uint8_t* at) { return mp::array_header_at(at, count); });
}

void write_str_pair(ByteBuffer& buf, std::string_view key, std::optional<std::string_view> value) {
  write_str(buf, key);
  if (value) {
    write_str(buf, *value);
  } else {
    write_nil(buf);
  }
}

void write_int_pair(ByteBuffer& buf, std::string_view key, std::optional<std::uint64_t> value) {
  write_str(buf, key);
  if (value) {
    write_uint(buf, *value);
  } else {
    write_nil(buf);
  }
}

void write_f64_pair(ByteBuffer& buf, std::string_view key, double value) {
  write_str(buf, key);
  write_f64(buf, value);
}

}  // namespace tavo
