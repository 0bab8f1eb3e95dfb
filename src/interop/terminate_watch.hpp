// Acting on the signals that end a process by default, SIGTERM (a service
// manager, timeout, a pool terminating its workers) and SIGHUP (the terminal
// closed, the session ended), in a process tavo records, whatever its main
// thread is doing.
//
// A Python-level handler runs only when the main thread comes back to the
// interpreter: a SIGTERM that lands just before the main thread blocks (on a
// lock another process holds for good, as a pool's parent does with its task
// queue's lock while it terminates the workers) would wait for ever. Here the
// signal only wakes a thread of tavo's own, which calls back into Python.
#pragma once

#include <Python.h>

#include <span>

#include "interop/error.hpp"

namespace tavo {

// Makes each of `signums` (SIGTERM and SIGHUP, say) call `callback(signum)`
// from a thread of its own (holding the interpreter lock), each if it has its
// default action in this process; returns whether any does. The signals stay
// the same while any is watched. A true result of the callback (or an
// exception) ends the process as the signal's default action would; a false one
// waits for the next signal. Meanwhile the main thread waits at its next check
// point (unless it holds the signals back, as tavo's writes do), as the program
// would have ended at the signal. Called again, the callback is replaced. A forked
// child starts with the signals' default actions, and watches only if it asks
// again.
Result<bool> watch_terminate(PyObject* callback, std::span<const int> signums);

// While a watched signal is handled, makes the calling thread wait until that
// is done, unless it is the watching thread or holds the signals back;
// otherwise returns at once. A thread waits ten seconds at most for one
// handling, in all its calls. The caller holds the interpreter lock.
void wait_while_ending();

// Stops the watching thread (a signal meanwhile waits for it), or starts it
// again once the main thread runs Python code next: the interpreter warns at a
// fork made while the process has more than one thread, which a program
// without tavo would not get. The caller holds the interpreter lock.
void pause_terminate_watch(bool paused);

}  // namespace tavo
