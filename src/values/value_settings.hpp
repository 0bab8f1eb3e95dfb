// How recorded values are encoded: set by the host package, read at each value.
#pragma once

#include <cstddef>

namespace tavo::values {

struct ValueSettings {
  // Objects that are not plain data described by their repr() (which runs the
  // program's code) instead of by tavo's own safe description.
  bool repr = false;
  // The most encoded bytes one value may take.
  std::size_t budget = 64 * 1024;
};

// The smallest budget, and the least room a cut item is given: enough for any
// marker string beside a few bytes of what was kept.
inline constexpr std::size_t kMinRoom = 64;

const ValueSettings& current_settings();
void set_settings(const ValueSettings& settings);

}  // namespace tavo::values
