#include "values/value_settings.hpp"

#include <algorithm>

namespace tavo::values {

namespace {

// Written and read with the interpreter lock held.
ValueSettings settings_in_use;

}  // namespace

ValueSettings at_step(const ValueSettings& settings, int step) {
  ValueSettings lowered = settings;
  if (step >= 4) {
    lowered.shape_only = true;
    lowered.budget = std::min(settings.budget, kShapeBudget);
  } else if (step > 0) {
    lowered.budget = std::max(settings.budget >> (2 * step), kMinRoom);
  }
  return lowered;
}

const ValueSettings& current_settings() { return settings_in_use; }

void set_settings(const ValueSettings& settings) { settings_in_use = settings; }

}  // namespace tavo::values
