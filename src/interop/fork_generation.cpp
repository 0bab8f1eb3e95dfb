#include "interop/fork_generation.hpp"

#include <pthread.h>

namespace tavo {

std::atomic<std::uint64_t> fork_generation_counter{1};

namespace {

void on_fork_child() { fork_generation_counter.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

void watch_forks() {
  static const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);
  (void)registered;
}

}  // namespace tavo
