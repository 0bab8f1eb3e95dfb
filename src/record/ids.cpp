#include "record/ids.hpp"

#include <array>
#include <cstring>

#include "interop/fork_generation.hpp"
#include "record/entropy.hpp"

namespace tavo {

namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// The two characters of every 10-bit group, so that an id takes 13 lookups
// rather than 26.
constexpr std::array<std::array<char, 2>, 1024> kCrockfordPairs = [] {
  std::array<std::array<char, 2>, 1024> pairs{};
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    pairs[i] = {kCrockford[i >> 5], kCrockford[i & 0x1f]};
  }
  return pairs;
}();

// The `Pairs` 10-bit groups of `bits`, most significant first; a constant
// count, so that the loop unrolls.
template <int Pairs>
inline void write_pairs(std::uint64_t bits, char* out) {
  for (int i = 0; i < Pairs; ++i) {
    std::memcpy(out + 2 * i, kCrockfordPairs[(bits >> (10 * (Pairs - 1 - i))) & 0x3ff].data(), 2);
  }
}

inline std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

class ChaChaGenerator {
 public:
  void fill(std::uint8_t* out, std::size_t size) {
    const std::uint64_t generation = fork_generation();
    if (generation != generation_ || blocks_left_ == 0) {
      rekey(generation);
    }
    while (size > 0) {
      if (available_ == 0) {
        next_block();
      }
      std::size_t take = size < available_ ? size : available_;
      std::memcpy(out, block_ + (sizeof(block_) - available_), take);
      // Bits handed out are wiped so that a later copy of this memory (a fork,
      // a core dump) cannot reveal them.
      std::memset(block_ + (sizeof(block_) - available_), 0, take);
      available_ -= take;
      out += take;
      size -= take;
    }
  }

 private:
  // Rekeyed after this many 64-byte blocks (4 MiB of output).
  static constexpr std::uint64_t kBlocksPerKey = 1 << 16;

  void rekey(std::uint64_t generation) {
    watch_forks();
    std::uint8_t seed[40];
    os_entropy(seed, sizeof(seed));
    static constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    std::memcpy(state_, kSigma, sizeof(kSigma));
    std::memcpy(state_ + 4, seed, 32);
    state_[12] = 0;
    state_[13] = 0;
    std::memcpy(state_ + 14, seed + 32, 8);
    std::memset(seed, 0, sizeof(seed));
    generation_ = generation;
    blocks_left_ = kBlocksPerKey;
    available_ = 0;
  }

  void next_block() {
    std::uint32_t x[16];
    std::memcpy(x, state_, sizeof(x));
    for (int i = 0; i < 10; ++i) {
      quarter_round(x, 0, 4, 8, 12);
      quarter_round(x, 1, 5, 9, 13);
      quarter_round(x, 2, 6, 10, 14);
      quarter_round(x, 3, 7, 11, 15);
      quarter_round(x, 0, 5, 10, 15);
      quarter_round(x, 1, 6, 11, 12);
      quarter_round(x, 2, 7, 8, 13);
      quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) {
      std::uint32_t v = x[i] + state_[i];
      std::memcpy(block_ + 4 * i, &v, 4);
    }
    if (++state_[12] == 0) {
      ++state_[13];
    }
    --blocks_left_;
    available_ = sizeof(block_);
  }

  std::uint32_t state_[16] = {};
  std::uint8_t block_[64] = {};
  std::size_t available_ = 0;
  std::uint64_t blocks_left_ = 0;
  std::uint64_t generation_ = 0;  // 0: never keyed
};

thread_local ChaChaGenerator generator;

void make_ulid(const timespec& now, char out[26]) {
  std::uint8_t random[10];
  random_bytes(random, sizeof(random));
  std::uint16_t high = static_cast<std::uint16_t>((random[0] << 8) | random[1]);
  std::uint64_t low = 0;
  for (int i = 2; i < 10; ++i) {
    low = (low << 8) | random[i];
  }
  encode_ulid(ulid_millis_from(now), high, low, out);
}

}  // namespace

timespec wall_clock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

double timestamp_from(const timespec& ts) {
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double timestamp() { return timestamp_from(wall_clock()); }

std::uint64_t ulid_millis_from(const timespec& ts) {
  if (ts.tv_sec < 0) {
    return 0;
  }
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

void encode_ulid(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low,
                 char out[26]) {
  // 128 bits: 48 time, 16 + 64 random. The first character carries the top
  // 3 bits, every further one 5 bits: the time makes the first 10
  // characters, the random bits the other 16, in two groups of 40 bits, so
  // that each group is read from one 64-bit word.
  const std::uint64_t time = millis & 0xffffffffffffULL;
  const std::uint64_t random_top =
      (static_cast<std::uint64_t>(random_high) << 24) | (random_low >> 40);
  const std::uint64_t random_bottom = random_low & 0xffffffffffULL;
  write_pairs<5>(time, out);
  write_pairs<4>(random_top, out + 10);
  write_pairs<4>(random_bottom, out + 18);
}

void random_bytes(std::uint8_t* out, std::size_t size) { generator.fill(out, size); }

FrameId new_frame_id() { return new_frame_id(wall_clock()); }

FrameId new_frame_id(const timespec& now) {
  FrameId id;
  std::memcpy(id.text.data(), "frm_", 4);
  make_ulid(now, id.text.data() + 4);
  return id;
}

const FrameId& dropped_call_id() {
  static const FrameId id = [] {
    FrameId zero;
    std::memcpy(zero.text.data(), "frm_", 4);
    std::memset(zero.text.data() + 4, '0', FrameId::kSize - 4);
    return zero;
  }();
  return id;
}

std::string new_trace_id() {
  std::string id(30, '\0');
  std::memcpy(id.data(), "trc_", 4);
  make_ulid(wall_clock(), id.data() + 4);
  return id;
}

}  // namespace tavo
