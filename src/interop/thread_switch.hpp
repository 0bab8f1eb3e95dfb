// Letting a thread that waits for the interpreter lock take it at the end of a
// recorded event.
//
// A recorded event holds the lock for far longer than the bytecode between
// two of the interpreter's check points. Another thread that asks for the lock
// meanwhile gets it at the program's next check point after the event, and a
// signal that thread makes pending (a timer's SIGINT, say) is then run at the
// check point after that one: under tavo almost always the same point of a
// loop, where without tavo it lands anywhere. On 3.13 a loop's backward jump
// checks before it jumps, and the jump that ends a try body lies outside the
// try's handlers, so that point can be one where the program's own handlers
// never see the interruption. Giving the lock up at the end of the event, when
// it is asked for, moves the switch into tavo's own time, and the signal to
// the program's next check point after the event.
#pragma once

#include <Python.h>

namespace tavo {

// In the main thread, gives the interpreter lock to a thread that asked for
// it, and takes it back, if one asked; otherwise does nothing. The calling
// thread holds the lock and no lock of tavo's.
void let_waiting_thread_run(PyThreadState* tstate);

}  // namespace tavo
