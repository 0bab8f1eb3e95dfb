// The identity of the calling interpreter thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "interop/error.hpp"

namespace tavo {

struct ThreadIdentity {
  std::string name;
  std::optional<std::uint64_t> native_id;
};

// `threading.current_thread()`'s name and native id (none when the thread
// object has no `native_id`, or it is None).
Result<ThreadIdentity> current_thread();

// The native id of `threading.main_thread()`.
Result<std::optional<std::uint64_t>> main_thread_native_id();

// Reads `native_id` of a thread object: an AttributeError or None gives none.
Result<std::optional<std::uint64_t>> thread_native_id(PyObject* thread);

}  // namespace tavo
