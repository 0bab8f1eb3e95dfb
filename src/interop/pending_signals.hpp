// Signals that land while tavo handles an event.
//
// The interpreter runs pending signal handlers at its check points, one of
// which comes just before it reports a call, none just after. A signal that
// lands while the event is handled (the handling is far longer than the
// bytecode between two check points) then waits for the program's next check
// point, and code that blocks before reaching one never runs its handler: a
// pool worker that takes its task queue's lock right after such a call is
// never ended by the SIGTERM its pool sends it. Running the handlers at the
// end of the event is what the check point before it would have done had the
// signal come a moment sooner.
#pragma once

#include <Python.h>

namespace tavo {

// Whether asking costs a flag's load (3.13 and newer keep it in the thread
// state). 3.12 keeps it where only the interpreter's own build reads it, and
// asking the interpreter costs about 100 instructions: too much for an event
// of left-out code under the profile engine, whose whole cost is about 150.
#if PY_VERSION_HEX >= 0x030D0000
inline constexpr bool kPendingSignalsCheapToAsk = true;
#else
inline constexpr bool kPendingSignalsCheapToAsk = false;
#endif

// Runs the Python handlers of the signals now pending, on the main thread;
// an exception one raises is handed back to the program (see
// program_exception.hpp). Does nothing while an exception is set (the event's
// own): the program's next check point runs them then.
void run_pending_signal_handlers();

}  // namespace tavo
