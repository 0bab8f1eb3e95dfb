// Reads the thread state's request bits, whose layout only the interpreter's
// own build sees.
#define Py_BUILD_CORE 1
#include "interop/thread_switch.hpp"

#if PY_VERSION_HEX >= 0x030D0000
#include <internal/pycore_ceval.h>
#endif

#include "interop/compat_state.hpp"

namespace tavo {

void let_waiting_thread_run(PyThreadState* tstate) {
#if PY_VERSION_HEX >= 0x030D0000
  if ((_Py_atomic_load_uintptr_relaxed(&tstate->eval_breaker) & _PY_GIL_DROP_REQUEST_BIT) == 0) {
    return;
  }
  // Signal handlers run in the main thread alone. Elsewhere the switch would
  // only add one where the program has none: inside a lock, it makes the
  // threads that wait for that lock queue up behind it (from 3.14 on, whose
  // locks then hand themselves over in turn while they stay contended).
  if (!compat::on_main_thread()) {
    return;
  }
  PyEval_RestoreThread(PyEval_SaveThread());
#else
  // 3.12 keeps the request in the interpreter's private state, and its
  // backward jumps check after jumping: the switch is left to the program's
  // next check point.
  (void)tstate;
#endif
}

}  // namespace tavo
