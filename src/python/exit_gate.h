// Keeps the module's threads out of an interpreter that is shutting down.
//
// Before 3.14, CPython ends with pthread_exit any thread that takes the interpreter lock
// once the interpreter finalizes. That forced unwinding cannot pass this module's
// noexcept frames (nor oneTBB's), so the process would abort. Every stretch in which one
// of our threads holds the lock inside our frames, or is about to take it, is therefore
// entered through this gate. A handler run by Python's atexit, before finalization
// begins, closes the gate and waits until no thread is inside; from then on only the
// thread that runs the exit may enter. Any other thread that wants the lock is refused:
// a progress event is dropped, and a thread that would return into the interpreter parks
// for good instead (as CPython itself parks such threads from 3.14 on). A call that starts
// on another thread after the gate closed holds the lock already: it keeps it until it
// returns, so it never has to ask for it again and always finishes. The handler never
// waits for a computation, only for the short stretches that hold the lock (and the user
// code that runs in them). The gate also counts as closed once the interpreter reports
// that it finalizes, for exits that did not pass through the handler. The gate survives
// fork: in the child it counts only the forking thread.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace kavro::py::exit_gate {

// Enters the gate; false when it is closed to this thread. A thread already inside enters
// again (nested calls, such as a build run from a progress callable). `holding_lock`: the
// thread holds the interpreter lock now, so while the interpreter finalizes it can only
// be the thread that runs the exit.
bool enter(bool holding_lock) noexcept;
// Leaves what one enter() entered.
void leave() noexcept;

// For a thread inside that releases the lock for a computation: leaves completely and
// returns how deep it was, so that the computation is never waited for.
int suspend() noexcept;
// Before it takes the lock back: enters again as deep as it was; false when the gate is
// closed to it. A depth of 0 (the lock was released outside the gate) only asks.
bool resume(int depth) noexcept;

// For a call refused by enter(true), on a thread that holds the lock: the call goes on but
// keeps the lock until it returns. Such calls nest (a callable may call the module again).
void begin_locked_call() noexcept;
void end_locked_call() noexcept;
// Whether this thread is inside such a call: it must not release the lock.
bool in_locked_call() noexcept;

// Blocks the calling thread for good, for a thread that may not take the lock again. It
// must not hold the lock; what it owns stays allocated until the process ends.
[[noreturn]] void park() noexcept;

// Closes the gate and waits, with the interpreter lock released, until no other thread is
// inside; the calling thread, which holds the lock, stays allowed. Run by the handler.
void close() noexcept;

// Registers the closing handler with Python's atexit, once per process, in the main
// interpreter only (a subinterpreter that ends is not the process exiting). Needs the
// lock; false with a Python exception set on failure.
bool register_handler();

}  // namespace kavro::py::exit_gate
