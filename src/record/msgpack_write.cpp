#include "record/msgpack_write.hpp"

#include <bit>
#include <cstring>

namespace tavo {

namespace {

void put_be(ByteBuffer& buf, std::uint64_t value, int bytes) {
  for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) {
    buf.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void put_tagged(ByteBuffer& buf, std::uint8_t tag, std::uint64_t value, int bytes) {
  buf.push_back(tag);
  put_be(buf, value, bytes);
}

void write_sized_header(ByteBuffer& buf, std::uint32_t n, std::uint8_t fix_base,
                        std::uint32_t fix_max, std::uint8_t tag8, std::uint8_t tag16,
                        std::uint8_t tag32) {
  if (n <= fix_max) {
    buf.push_back(static_cast<std::uint8_t>(fix_base + n));
  } else if (tag8 != 0 && n <= 0xff) {
    put_tagged(buf, tag8, n, 1);
  } else if (n <= 0xffff) {
    put_tagged(buf, tag16, n, 2);
  } else {
    put_tagged(buf, tag32, n, 4);
  }
}

}  // namespace

void write_nil(ByteBuffer& buf) { buf.push_back(0xc0); }

void write_bool(ByteBuffer& buf, bool value) { buf.push_back(value ? 0xc3 : 0xc2); }

void write_uint(ByteBuffer& buf, std::uint64_t value) {
  if (value <= 0x7f) {
    buf.push_back(static_cast<std::uint8_t>(value));
  } else if (value <= 0xff) {
    put_tagged(buf, 0xcc, value, 1);
  } else if (value <= 0xffff) {
    put_tagged(buf, 0xcd, value, 2);
  } else if (value <= 0xffffffffULL) {
    put_tagged(buf, 0xce, value, 4);
  } else {
    put_tagged(buf, 0xcf, value, 8);
  }
}

void write_int(ByteBuffer& buf, std::int64_t value) {
  if (value >= 0) {
    write_uint(buf, static_cast<std::uint64_t>(value));
    return;
  }
  auto bits = static_cast<std::uint64_t>(value);
  if (value >= -32) {
    buf.push_back(static_cast<std::uint8_t>(bits));
  } else if (value >= -128) {
    put_tagged(buf, 0xd0, bits, 1);
  } else if (value >= -32768) {
    put_tagged(buf, 0xd1, bits, 2);
  } else if (value >= -2147483648LL) {
    put_tagged(buf, 0xd2, bits, 4);
  } else {
    put_tagged(buf, 0xd3, bits, 8);
  }
}

void write_f64(ByteBuffer& buf, double value) {
  put_tagged(buf, 0xcb, std::bit_cast<std::uint64_t>(value), 8);
}

void write_str_header(ByteBuffer& buf, std::uint32_t length) {
  write_sized_header(buf, length, 0xa0, 31, 0xd9, 0xda, 0xdb);
}

void write_map_len(ByteBuffer& buf, std::uint32_t count) {
  write_sized_header(buf, count, 0x80, 15, 0, 0xde, 0xdf);
}

void write_array_len(ByteBuffer& buf, std::uint32_t count) {
  write_sized_header(buf, count, 0x90, 15, 0, 0xdc, 0xdd);
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
