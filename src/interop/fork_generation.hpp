// Noticing a fork: a counter bumped in every forked child.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavo {

extern std::atomic<std::uint64_t> fork_generation_counter;

// Registers the child-side fork handler (once per process). The handler only
// bumps the counter: in a forked child nothing else is safe before the
// interpreter has run again.
void watch_forks();

// Differs from a value read earlier iff this process is a child forked since.
inline std::uint64_t fork_generation() {
  return fork_generation_counter.load(std::memory_order_relaxed);
}

}  // namespace tavo
