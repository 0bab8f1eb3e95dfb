// Exceptions that belong to the program although tavo met them.
//
// While it handles an event, tavo may run Python code (plugins, a logger, an
// object's __str__, a store at a test boundary). The interpreter runs pending
// signal handlers at its check points, including those inside that code, so an
// interrupt, or whatever a signal handler raises, can surface in tavo instead
// of in the program. Such an exception is never reported or dropped, and never
// raised from the event callback either: there it could replace an exception
// being propagated, or be raised where the frame's handlers are no longer
// consulted. It is handed back to the interpreter, which raises it in the
// program at its next check point, as it raises a signal handler's exception.
#pragma once

#include "interop/error.hpp"

namespace tavo {

// Hands `exception` back to the program: on the main thread, raised at the
// interpreter's next check point there (the instance itself, in the order
// handed back); on another thread, its type as an asynchronous exception.
void hand_back_to_program(PyError exception);

}  // namespace tavo
