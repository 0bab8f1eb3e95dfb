// Time stamps and identifiers.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace tavo {

// The wall clock now.
timespec wall_clock();
// Seconds since the UNIX epoch by the wall clock (negative before it).
double timestamp();
double timestamp_from(const timespec& ts);

// Milliseconds since the epoch for a ULID's time part; 0 before the epoch.
std::uint64_t ulid_millis_from(const timespec& ts);

// The 26-character Crockford base32 text of a ULID made of a 48-bit time part
// and 80 random bits (16 high, then 64 low).
void encode_ulid(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low,
                 char out[26]);

// "frm_" followed by a ULID: fixed size, so the hot path never allocates one.
struct FrameId {
  static constexpr std::size_t kSize = 30;
  std::array<char, kSize> text;

  std::string_view view() const { return {text.data(), kSize}; }
  bool operator==(const FrameId&) const = default;
};

FrameId new_frame_id();
// A frame id whose time part is `now` (a wall_clock() reading), for an event
// that reads the clock once for its id and its record's timestamp.
FrameId new_frame_id(const timespec& now);
// The id that stands for calls whose records were dropped unmade (time and
// randomness all zero): no record carries it as its own.
const FrameId& dropped_call_id();
// "trc_" followed by a ULID.
std::string new_trace_id();

// Fills `out` with bytes from the calling thread's generator (a ChaCha20
// stream keyed from the OS entropy source, rekeyed periodically and, after a
// fork, in the child before its first use).
void random_bytes(std::uint8_t* out, std::size_t size);

}  // namespace tavo
