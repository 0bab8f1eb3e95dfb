#include "saving/document_packing.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>

#include "record/ids.hpp"

namespace tavo {

namespace {

constexpr std::uint8_t kEscape = 0xc1;
constexpr std::uint8_t kLiteral = 0x00;
constexpr std::uint8_t kTimestamp = 0xfd;
constexpr std::uint8_t kNewId = 0xff;
constexpr std::size_t kRecent = 64;

// A frame id as written: a fixstr of 30 bytes, "frm_" and the ULID's text.
constexpr std::array<std::uint8_t, 5> kIdHead = {0xbe, 'f', 'r', 'm', '_'};
constexpr std::size_t kIdBytes = kIdHead.size() + 26;
// A record's "timestamp" key and the header of the float 64 after it.
constexpr std::array<std::uint8_t, 11> kStampHead = {0xa9, 't', 'i', 'm', 'e', 's',
                                                     't',  'a', 'm', 'p', 0xcb};
constexpr std::size_t kStampBytes = kStampHead.size() + 8;

// The 5-bit value of each character of a ULID's text, 0xff for the others
// (lower case and the letters the alphabet leaves out, so that only the one
// text of each id is ever read as one).
constexpr std::array<std::uint8_t, 256> kDigit = [] {
  std::array<std::uint8_t, 256> digit{};
  digit.fill(0xff);
  constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
  for (std::uint8_t i = 0; i < 32; ++i) {
    digit[static_cast<std::uint8_t>(kAlphabet[i])] = i;
  }
  return digit;
}();

// The bytes that may start something packed.
constexpr std::array<bool, 256> kStarts = [] {
  std::array<bool, 256> starts{};
  starts[kEscape] = starts[kIdHead[0]] = starts[kStampHead[0]] = true;
  return starts;
}();

// Where the first byte that may start something packed lies at or after `at`.
// Most of a document is values and names that hold none: it is read sixteen
// bytes at a time.
const std::uint8_t* next_start(const std::uint8_t* at, const std::uint8_t* end) {
  using Bytes16 = std::uint8_t __attribute__((vector_size(16)));
  while (end - at >= 16) {
    Bytes16 bytes;
    std::memcpy(&bytes, at, sizeof bytes);
    const auto hits = (bytes == kEscape) | (bytes == kIdHead[0]) | (bytes == kStampHead[0]);
    std::array<std::uint64_t, 2> halves;
    std::memcpy(halves.data(), &hits, sizeof halves);
    if ((halves[0] | halves[1]) != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return halves[0] != 0 ? at + std::countr_zero(halves[0]) / 8
                              : at + 8 + std::countr_zero(halves[1]) / 8;
      }
      break;
    }
    at += 16;
  }
  while (at != end && !kStarts[*at]) {
    ++at;
  }
  return at;
}

struct Id {
  std::uint64_t high = 0;  // time (48 bits), then 16 random bits
  std::uint64_t low = 0;   // 64 random bits
};

std::uint64_t load_be64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    value = value << 8 | at[i];
  }
  return value;
}

std::uint64_t load_le(const std::uint8_t* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = value << 8 | at[i];
  }
  return value;
}

// The value of `count` characters of a ULID's text from `text`, with the
// characters' digits or'ed into `seen` (any that is none sets its top bit).
template <int count>
std::uint64_t read_digits(const std::uint8_t* text, std::uint8_t& seen) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t digit = kDigit[text[i]];
    seen |= digit;
    value = value << 5 | digit;
  }
  return value;
}

// Reads the id whose text starts at `text` (26 characters); false if it is none.
// The text is read as encode_ulid() writes it: the time (10 characters) and two
// groups of 40 random bits, each its own chain of shifts.
bool parse_id(const std::uint8_t* text, Id& id) {
  std::uint8_t seen = 0;
  const std::uint64_t time = read_digits<10>(text, seen);
  const std::uint64_t random_top = read_digits<8>(text + 10, seen);
  const std::uint64_t random_bottom = read_digits<8>(text + 18, seen);
  // 26 characters carry 130 bits: the first only 3.
  if (seen > 31 || kDigit[text[0]] > 7) {
    return false;
  }
  id = {time << 16 | random_top >> 24, random_top << 40 | random_bottom};
  return true;
}

// The latest ids' texts, most recent first, as both sides keep them: a ring,
// so that an id goes in at the front without moving the others, with a count
// of the ids in it by their last characters (random), so that most ids not in
// it are known without a search. An id found is written out from its text
// here, and one searched for is compared as text: neither reads its
// characters one by one.
class RecentIds {
 public:
  static constexpr std::size_t kText = 26;

  // The place of the id whose text starts at `text`, or kRecent.
  std::size_t find(const std::uint8_t* text) const {
    if (by_tail_[tail(text)] == 0) {
      return kRecent;
    }
    for (std::size_t i = 0; i < count_; ++i) {
      if (std::memcmp(at(i), text, kText) == 0) {
        return i;
      }
    }
    return kRecent;
  }

  const std::uint8_t* at(std::size_t place) const {
    return texts_[(front_ + place) % kRecent].data();
  }

  void to_front(std::size_t place) {
    const Slot text = texts_[(front_ + place) % kRecent];
    for (std::size_t i = place; i > 0; --i) {  // mostly one or two
      texts_[(front_ + i) % kRecent] = texts_[(front_ + i - 1) % kRecent];
    }
    texts_[front_] = text;
  }

  void push_front(const std::uint8_t* text) {
    front_ = (front_ + kRecent - 1) % kRecent;
    if (count_ == kRecent) {
      --by_tail_[tail(texts_[front_].data())];  // the last leaves
    } else {
      ++count_;
    }
    std::memcpy(texts_[front_].data(), text, kText);
    ++by_tail_[tail(text)];
  }

 private:
  using Slot = std::array<std::uint8_t, 32>;

  static std::uint8_t tail(const std::uint8_t* text) {
    return static_cast<std::uint8_t>(text[kText - 2] << 3 ^ text[kText - 1]);
  }

  std::array<Slot, kRecent> texts_{};
  std::array<std::uint8_t, 256> by_tail_{};
  std::size_t front_ = 0;
  std::size_t count_ = 0;
};

}  // namespace

std::size_t pack_document_block(std::span<const std::uint8_t> block, std::uint8_t* const out) {
  RecentIds recent;
  std::uint64_t last_stamp = 0;
  const std::uint8_t* const end = block.data() + block.size();
  const std::uint8_t* copied = block.data();  // what is not yet written out
  const std::uint8_t* at = block.data();
  std::uint8_t* written = out;
  auto packed = [&](const std::uint8_t* stop, std::uint8_t code) {
    const auto n = static_cast<std::size_t>(at - copied);
    std::memcpy(written, copied, n);
    written[n] = kEscape;
    written[n + 1] = code;
    written += n + 2;
    copied = at = stop;
  };
  auto put_le = [&](std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      *written++ = static_cast<std::uint8_t>(value >> (8 * i));
    }
  };
  auto put_be64 = [&](std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
      *written++ = static_cast<std::uint8_t>(value >> (56 - 8 * i));
    }
  };
  while ((at = next_start(at, end)) != end) {
    const auto left = static_cast<std::size_t>(end - at);
    if (*at == kEscape) {
      packed(at + 1, kLiteral);
    } else if (*at == kIdHead[0] && left >= kIdBytes &&
               std::memcmp(at, kIdHead.data(), kIdHead.size()) == 0) {
      const std::uint8_t* text = at + kIdHead.size();
      Id id;
      if (const std::size_t place = recent.find(text); place != kRecent) {
        packed(at + kIdBytes, static_cast<std::uint8_t>(1 + place));
        recent.to_front(place);
      } else if (parse_id(text, id)) {
        packed(at + kIdBytes, kNewId);
        put_be64(id.high);
        put_be64(id.low);
        recent.push_front(text);
      } else {
        ++at;
      }
    } else if (*at == kStampHead[0] && left >= kStampBytes &&
               std::memcmp(at, kStampHead.data(), kStampHead.size()) == 0) {
      const std::uint64_t stamp = load_be64(at + kStampHead.size());
      packed(at + kStampBytes, kTimestamp);
      put_le(stamp - last_stamp, 8);  // close stamps give a small difference
      last_stamp = stamp;
    } else {
      ++at;
    }
  }
  std::memcpy(written, copied, static_cast<std::size_t>(end - copied));
  return static_cast<std::size_t>(written - out) + static_cast<std::size_t>(end - copied);
}

namespace {

// Walks a packed block, handing `sink` each run of bytes that stand for
// themselves and each code; false when it is not a packed block.
template <class Sink>
bool walk_packed(std::span<const std::uint8_t> packed, Sink& sink) {
  std::size_t listed = 0;  // ids in the list of the latest
  const std::uint8_t* const end = packed.data() + packed.size();
  const std::uint8_t* at = packed.data();
  while (at != end) {
    const auto* escape = static_cast<const std::uint8_t*>(
        std::memchr(at, kEscape, static_cast<std::size_t>(end - at)));
    if (escape == nullptr) {
      sink.plain(at, static_cast<std::size_t>(end - at));
      break;
    }
    sink.plain(at, static_cast<std::size_t>(escape - at));
    const auto left = static_cast<std::size_t>(end - escape);
    if (left < 2) {
      return false;
    }
    const std::uint8_t code = escape[1];
    at = escape + 2;
    if (code == kLiteral) {
      sink.plain(&kEscape, 1);
    } else if (code <= kRecent) {
      if (code > listed) {
        return false;
      }
      sink.recent(code - 1U);
    } else if (code == kTimestamp && left >= 2 + 8) {
      sink.stamp(load_le(at, 8));
      at += 8;
    } else if (code == kNewId && left >= 2 + 16) {
      sink.new_id(Id{load_be64(at), load_be64(at + 8)});
      listed = std::min(listed + 1, kRecent);
      at += 16;
    } else {
      return false;
    }
  }
  return true;
}

// Counts the bytes a packed block stands for.
struct SizeSink {
  std::size_t size = 0;
  void plain(const std::uint8_t*, std::size_t n) { size += n; }
  void recent(std::size_t) { size += kIdBytes; }
  void stamp(std::uint64_t) { size += kStampBytes; }
  void new_id(const Id&) { size += kIdBytes; }
};

// Writes what a packed block stands for.
class WriteSink {
 public:
  explicit WriteSink(std::uint8_t* out) : written_(out) {}

  void plain(const std::uint8_t* data, std::size_t n) {
    std::memcpy(written_, data, n);
    written_ += n;
  }
  void recent(std::size_t place) {
    id(recent_.at(place));
    recent_.to_front(place);
  }
  void stamp(std::uint64_t difference) {
    last_stamp_ += difference;
    plain(kStampHead.data(), kStampHead.size());
    for (int i = 0; i < 8; ++i) {
      *written_++ = static_cast<std::uint8_t>(last_stamp_ >> (56 - 8 * i));
    }
  }
  void new_id(const Id& id) {
    char text[RecentIds::kText];
    encode_ulid(id.high >> 16, static_cast<std::uint16_t>(id.high & 0xffff), id.low, text);
    this->id(reinterpret_cast<const std::uint8_t*>(text));
    recent_.push_front(reinterpret_cast<const std::uint8_t*>(text));
  }

 private:
  void id(const std::uint8_t* text) {
    plain(kIdHead.data(), kIdHead.size());
    plain(text, RecentIds::kText);
  }

  std::uint8_t* written_;
  RecentIds recent_;
  std::uint64_t last_stamp_ = 0;
};

}  // namespace

std::optional<std::size_t> pack_framed_block(std::span<const std::uint8_t> block,
                                             std::uint8_t* const out) {
  const std::size_t size = pack_document_block(block, out + kBlockLengthBytes);
  if (size > 0xffffffffU) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < kBlockLengthBytes; ++i) {
    out[i] = static_cast<std::uint8_t>(size >> (8 * i));
  }
  return kBlockLengthBytes + size;
}

std::optional<std::size_t> unpacked_size(std::span<const std::uint8_t> packed) {
  SizeSink sink;
  if (!walk_packed(packed, sink)) {
    return std::nullopt;
  }
  return sink.size;
}

void unpack_document_block(std::span<const std::uint8_t> packed, std::uint8_t* out) {
  WriteSink sink(out);
  walk_packed(packed, sink);
}

}  // namespace tavo
