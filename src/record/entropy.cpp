#include "record/entropy.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tavo {

namespace {

std::atomic<bool> fallback_reported{false};

bool from_getrandom(std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    ssize_t got = getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool from_urandom(std::uint8_t* out, std::size_t size) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  while (size > 0) {
    ssize_t got = read(fd, out, size);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) {
        continue;
      }
      close(fd);
      return false;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
  }
  close(fd);
  return true;
}

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// What differs between processes and between calls when no entropy source
// is open to us: weak, but identifiers stay unlikely to repeat.
void from_circumstances(std::uint8_t* out, std::size_t size) {
  static std::atomic<std::uint64_t> calls{0};
  timespec real{};
  timespec mono{};
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_MONOTONIC, &mono);
  std::uint64_t state = static_cast<std::uint64_t>(real.tv_sec) * 1000000007ULL;
  const std::uint64_t inputs[] = {
      static_cast<std::uint64_t>(real.tv_nsec), static_cast<std::uint64_t>(mono.tv_sec),
      static_cast<std::uint64_t>(mono.tv_nsec), static_cast<std::uint64_t>(getpid()),
      reinterpret_cast<std::uintptr_t>(&state), reinterpret_cast<std::uintptr_t>(out),
      reinterpret_cast<std::uintptr_t>(&calls), calls.fetch_add(1, std::memory_order_relaxed)};
  for (std::uint64_t input : inputs) {
    state ^= input;
    splitmix(state);
  }
  while (size > 0) {
    const std::uint64_t word = splitmix(state);
    const std::size_t take = size < sizeof(word) ? size : sizeof(word);
    std::memcpy(out, &word, take);
    out += take;
    size -= take;
  }
}

std::atomic<EntropyFallbackReporter> reporter{nullptr};

void report_fallback(const char* message) {
  if (fallback_reported.exchange(true)) {
    return;
  }
  if (EntropyFallbackReporter report = reporter.load()) {
    report(message);
  }
}

}  // namespace

void set_entropy_fallback_reporter(EntropyFallbackReporter report) { reporter.store(report); }

void os_entropy(std::uint8_t* out, std::size_t size) {
  if (from_getrandom(out, size)) {
    return;
  }
  if (from_urandom(out, size)) {
    report_fallback("getrandom() failed; tavo's identifiers are seeded from /dev/urandom");
    return;
  }
  from_circumstances(out, size);
  report_fallback(
      "no entropy source is available (getrandom() and /dev/urandom failed); tavo's identifiers "
      "are seeded from the clocks, the process id and addresses and may repeat across processes");
}

}  // namespace tavo
