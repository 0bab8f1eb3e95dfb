// How recorded values are encoded: set by the host package, read at each value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::values {

struct ValueSettings {
  // Objects that are not plain data described by their repr() (which runs the
  // program's code) instead of by tavo's own safe description.
  bool repr = false;
  // The most encoded bytes one value may take.
  std::size_t budget = 64 * 1024;
  // Values are written as their type and size alone, beside the small leaves
  // (None, bools, numbers, short text) and the names of a map at the top.
  bool shape_only = false;
  // When set, counts each value that was cut or written as its shape.
  std::uint64_t* shortened = nullptr;
};

// The smallest budget, and the least room a cut item is given: enough for any
// marker string beside a few bytes of what was kept.
inline constexpr std::size_t kMinRoom = 64;

// The budget of the shape-only step: the top map's names and a few shapes.
inline constexpr std::size_t kShapeBudget = 256;

// The settings of `step` of the ladder a trace nearing its buffer budget
// climbs: 0 the settings as they are; 1 to 3 a budget 4, 16 and 64 times
// smaller (kMinRoom at least); 4 and above shape only.
ValueSettings at_step(const ValueSettings& settings, int step);

const ValueSettings& current_settings();
void set_settings(const ValueSettings& settings);

}  // namespace tavo::values
