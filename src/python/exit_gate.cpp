#include "python/exit_gate.h"

#include <dlfcn.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <thread>

#include "python/binding.h"

namespace kavro::py::exit_gate {
namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable idle;  // a thread left while the gate was closed
    bool closed = false;
    bool has_exiting_thread = false;
    std::thread::id exiting_thread;  // the thread that runs the exit: never refused
    std::size_t inside = 0;          // threads inside, each once however deep
};

// Never destroyed: threads that still compute when the process ends reach the gate while
// static destructors run. Made when the module is loaded, not on first use, so that no
// fork can catch it half made.
Gate* const the_gate = new Gate;
Gate& gate() { return *the_gate; }

// How many enter() calls this thread has not left yet.
thread_local int depth = 0;
// Calls on this thread that were refused the gate and keep the lock throughout.
thread_local int locked_calls = 0;

// Py_IsFinalizing from 3.13 on, _Py_IsFinalizing before it. Neither is declared in the
// limited API of 3.11, so the interpreter's own symbol is looked up. Safe without the
// interpreter lock: both read one atomic pointer.
using FinalizingQuery = int (*)();
const FinalizingQuery finalizing_query = [] {
    void* symbol = dlsym(RTLD_DEFAULT, "Py_IsFinalizing");
    if (!symbol) symbol = dlsym(RTLD_DEFAULT, "_Py_IsFinalizing");
    return reinterpret_cast<FinalizingQuery>(symbol);
}();

bool interpreter_finalizing() noexcept {
    return finalizing_query != nullptr && finalizing_query() != 0;
}

// A fork copies the gate as it stands, with the threads inside counted, but only the
// forking thread goes on in the child. The gate's mutex is held across the fork, so the
// child never finds it taken by a thread it does not have; it is only ever held for a few
// instructions, never while waiting for the interpreter lock (which os.fork holds).
void before_fork() noexcept { gate().mutex.lock(); }

void after_fork_in_parent() noexcept { gate().mutex.unlock(); }

void after_fork_in_child() noexcept {
    Gate& g = gate();
    g.inside = depth > 0 ? 1 : 0;
    // The thread running the parent's exit is not here, and a thread of the child could be
    // given its id. A closed gate stays closed: the child's calls then keep the lock.
    if (g.has_exiting_thread && g.exiting_thread != std::this_thread::get_id())
        g.has_exiting_thread = false;
    // Waiters of the parent's condition variable are not here either.
    new (&g.idle) std::condition_variable;
    g.mutex.unlock();
}

[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

// Whether this thread may take (or keep) the interpreter lock. Needs the gate's mutex.
bool admits(Gate& g, bool holding_lock, bool finalizing) {
    const std::thread::id me = std::this_thread::get_id();
    if (finalizing && holding_lock) {
        // Only the thread that finalizes holds the lock once finalization has begun: so
        // it is found when the exit did not pass through the handler.
        g.exiting_thread = me;
        g.has_exiting_thread = true;
    }
    if (g.has_exiting_thread && g.exiting_thread == me) return true;
    return !g.closed && !finalizing;
}

bool enter_as(int new_depth, bool holding_lock) {
    const bool finalizing = interpreter_finalizing();
    Gate& g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!admits(g, holding_lock, finalizing)) return false;
    ++g.inside;
    depth = new_depth;
    return true;
}

void leave_all() {
    depth = 0;
    Gate& g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    --g.inside;
    if (g.closed) g.idle.notify_all();
}

PyObject* on_exit(PyObject*, PyObject*) noexcept {
    close();
    Py_RETURN_NONE;
}

PyMethodDef handler = {"_kavro_exit_gate", on_exit, METH_NOARGS,
                       "Stops _kavro's threads from entering the exiting interpreter."};

}  // namespace

bool enter(bool holding_lock) noexcept {
    if (depth > 0) {
        ++depth;
        return true;
    }
    return enter_as(1, holding_lock);
}

void leave() noexcept {
    if (depth > 1) {
        --depth;
        return;
    }
    leave_all();
}

int suspend() noexcept {
    const int was = depth;
    if (was > 0) leave_all();
    return was;
}

bool resume(int was) noexcept {
    if (was > 0) return enter_as(was, false);
    const bool finalizing = interpreter_finalizing();
    Gate& g = gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    return admits(g, false, finalizing);
}

void begin_locked_call() noexcept { ++locked_calls; }

void end_locked_call() noexcept { --locked_calls; }

bool in_locked_call() noexcept { return locked_calls > 0; }

void park() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void close() noexcept {
    Gate& g = gate();
    // The exiting thread may itself be inside (an exit started from a progress callable).
    const std::size_t own = depth > 0 ? 1 : 0;
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.closed = true;
        g.exiting_thread = std::this_thread::get_id();
        g.has_exiting_thread = true;
        if (g.inside <= own) return;
    }
    // The threads inside may need the lock to get out.
    PyThreadState* state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> lock(g.mutex);
        g.idle.wait(lock, [&] { return g.inside <= own; });
    }
    PyEval_RestoreThread(state);
}

bool register_handler() {
    static bool registered = false;  // guarded by the interpreter lock
    if (registered || PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return true;
    Object atexit = Object::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Object fn = Object::steal(PyCFunction_NewEx(&handler, nullptr, nullptr));
    if (!fn) return false;
    Object done = Object::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
    if (!done) return false;
    registered = true;
    return true;
}

}  // namespace kavro::py::exit_gate
