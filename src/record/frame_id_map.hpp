// Frame ids handed out at calls, keyed by the frame object's address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

#include "record/ids.hpp"

namespace tavo {

struct AddressHash {
  std::size_t operator()(std::uintptr_t address) const {
    // Frames are aligned, so the low bits carry nothing; mix the rest.
    std::uint64_t x = address >> 4;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x);
  }
};
// An id is forgotten (emptied) at its frame's return, so that a later frame at
// the same address never gets it; the entry itself stays for the next frame
// there, so that recording allocates nothing once the addresses in use are
// known.
using FrameIdMap = std::unordered_map<std::uintptr_t, std::optional<FrameId>, AddressHash>;

// The id handed out at the call of the frame at `address`, forgotten now (its
// frame returns); none if there is none.
inline std::optional<FrameId> take_frame_id(FrameIdMap& ids, std::uintptr_t address) {
  auto found = ids.find(address);
  if (found == ids.end()) {
    return std::nullopt;
  }
  return std::exchange(found->second, std::nullopt);
}

}  // namespace tavo
