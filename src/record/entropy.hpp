// Seed material for the identifier generators.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

// Fills `out` from the kernel's entropy source: getrandom(), else
// /dev/urandom, else (sandboxes that allow neither) the clocks, the process id
// and addresses mixed together. Never fails; the first fallback in the process
// is reported once.
void os_entropy(std::uint8_t* out, std::size_t size);

// Receives the description of the first fallback.
using EntropyFallbackReporter = void (*)(const char* message);
void set_entropy_fallback_reporter(EntropyFallbackReporter report);

}  // namespace tavo
