// The exit gate against a real interpreter exit. Each case runs in a child process of
// its own (the gate closes for good), with an embedded interpreter that it finalizes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "python/progress.h"

namespace kavro::py {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> woken{false};

PyObject* wake(PyObject*, PyObject*) noexcept {
    woken = true;
    Py_RETURN_NONE;
}
PyMethodDef wake_def = {"wake", wake, METH_NOARGS, nullptr};

// A cycle whose __del__ runs once finalization has begun (the collector is off until
// then): it wakes the computation and holds the exit open for a while.
const char* const kWakeDuringFinalization = R"(
import gc, time
class Waker:
    def __del__(self, wake=wake, sleep=time.sleep):
        wake()
        sleep(0.3)
gc.disable()
w = Waker(); w.me = w; del w
)";

// A build's calling thread whose computation ends while the interpreter finalizes, and,
// with `with_events`, a worker sending progress events throughout the exit. Returns what
// went wrong; an abort ends the child before that.
std::string exit_during_computation(bool with_handler, bool with_events) {
    Py_Initialize();
    if (with_handler && !exit_gate::register_handler()) return "handler not registered";
    Object noop;
    {
        Object globals = Object::steal(PyDict_New());
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
        Object fn = Object::steal(PyCFunction_NewEx(&wake_def, nullptr, nullptr));
        PyDict_SetItemString(globals.get(), "wake", fn.get());
        Object ran = Object::steal(
            PyRun_String(kWakeDuringFinalization, Py_file_input, globals.get(), globals.get()));
        noop = Object::steal(PyRun_String("lambda *event: None", Py_eval_input, globals.get(),
                                          globals.get()));
        if (!ran || !noop) return "script failed";
    }
    PyProgress adapter(std::move(noop));

    std::atomic<bool> computing{false}, returned{false}, stop{false};
    std::atomic<int> late_events{0};
    PyThreadState* main_state = PyEval_SaveThread();
    std::thread([&] {
        PyGILState_Ensure();
        const CallGate inside;
        {
            const GilRelease unlocked;
            computing = true;
            while (!woken) std::this_thread::sleep_for(1ms);
        }
        returned = true;  // only if it took the lock back in a finalizing interpreter
    }).detach();
    std::thread worker;
    if (with_events) {
        worker = std::thread([&] {
            while (!stop) {
                adapter.call({par::ParProgress::Kind::BlockDone, 1, 2});
                if (woken) ++late_events;
            }
        });
    }
    while (!computing) std::this_thread::sleep_for(1ms);
    PyEval_RestoreThread(main_state);
    Py_FinalizeEx();
    stop = true;
    if (worker.joinable()) worker.join();
    adapter.into_result().callback.release();  // the interpreter that owned it is gone
    if (!woken) return "finalization never woke the computation";
    std::this_thread::sleep_for(100ms);
    if (returned) return "the calling thread took the lock back during finalization";
    if (with_events && late_events == 0) return "no event was sent during finalization";
    return "";
}

void in_child(bool with_handler, bool with_events) {
    const std::string problem = exit_during_computation(with_handler, with_events);
    std::fputs(problem.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(problem.empty() ? 0 : 1);
}

class ExitGateTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ExitGateTest, HandlerParksTheCallerAndDropsWorkerEvents) {
    EXPECT_EXIT(in_child(true, true), ::testing::ExitedWithCode(0), "");
}

// An exit that did not pass through the handler (the module imported during the exit):
// the interpreter's own finalizing flag keeps the calling thread out.
TEST_F(ExitGateTest, FinalizingInterpreterParksTheCallerWithoutTheHandler) {
    EXPECT_EXIT(in_child(false, false), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kavro::py
