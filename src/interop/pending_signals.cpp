// Reads the thread state's request bits, whose layout only the interpreter's
// own build sees.
#define Py_BUILD_CORE 1
#include "interop/pending_signals.hpp"

#if PY_VERSION_HEX >= 0x030D0000
#include <internal/pycore_ceval.h>
#endif

#include "interop/error.hpp"
#include "interop/program_exception.hpp"

namespace tavo {

void run_pending_signal_handlers() {
#if PY_VERSION_HEX >= 0x030D0000
  // The interpreter marks the main thread's state when a signal lands.
  if ((_Py_atomic_load_uintptr_relaxed(&PyThreadState_GET()->eval_breaker) &
       _PY_SIGNALS_PENDING_BIT) == 0) [[likely]] {
    return;
  }
#endif
  if (PyErr_Occurred() == nullptr && PyErr_CheckSignals() < 0) [[unlikely]] {
    hand_back_to_program(PyError::fetch());
  }
}

}  // namespace tavo
