#include "values/value_settings.hpp"

namespace tavo::values {

namespace {

// Written and read with the interpreter lock held.
ValueSettings settings_in_use;

}  // namespace

const ValueSettings& current_settings() { return settings_in_use; }

void set_settings(const ValueSettings& settings) { settings_in_use = settings; }

}  // namespace tavo::values
