// The progress adapter driven from several threads at once, in an embedded interpreter.
#include <gtest/gtest.h>

#include <vector>

#include "parallel/pool.h"
#include "python/progress.h"

namespace kavro::py {
namespace {

// Records every call; fails if two calls overlap (the callable yields the interpreter
// lock mid-call, so only the adapter's mutex can keep calls apart); raises on call 3.
const char* const kRecorder = R"(
import time
calls = []
busy = [False]
def record(stage, done, total):
    assert not busy[0], "overlapping progress calls"
    busy[0] = True
    time.sleep(0.0005)
    calls.append((stage, done, total))
    busy[0] = False
    if len(calls) == RAISE_AT:
        raise ValueError("stop at %d" % len(calls))
    return "ignored"
)";

class PyProgressTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Py_Initialize();
        state_ = PyEval_SaveThread();
    }
    static void TearDownTestSuite() {
        PyEval_RestoreThread(state_);
        Py_Finalize();
    }

    // Runs the recorder module with RAISE_AT = raise_at; returns (module dict, callable).
    static Object recorder(long raise_at, Object& globals) {
        globals = Object::steal(PyDict_New());
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
        Object limit = Object::steal(PyLong_FromLong(raise_at));
        PyDict_SetItemString(globals.get(), "RAISE_AT", limit.get());
        Object ran = Object::steal(PyRun_String(kRecorder, Py_file_input, globals.get(), globals.get()));
        EXPECT_TRUE(ran) << "recorder failed to load";
        return Object::borrow(PyDict_GetItemString(globals.get(), "record"));
    }

    static Py_ssize_t call_count(PyObject* globals) {
        return PyList_Size(PyDict_GetItemString(globals, "calls"));
    }

    // Sends `events` events from the pool's workers, as finished blocks do.
    static void flood(PyProgress& adapter, std::size_t events) {
        const par::ProgressSink sink = adapter.sink();
        par::for_each_index(events, [&sink](std::size_t i) {
            sink({par::ParProgress::Kind::BlockDone, std::uint64_t(i + 1), std::uint64_t(999)});
        });
    }

    static PyThreadState* state_;
};

PyThreadState* PyProgressTest::state_ = nullptr;

TEST_F(PyProgressTest, SerialisesCallsFromManyThreads) {
    PyGILState_STATE gil = PyGILState_Ensure();
    Object globals;
    Object fn = recorder(-1, globals);
    PyProgress adapter(std::move(fn));
    PyGILState_Release(gil);

    flood(adapter, 200);
    adapter.call({par::ParProgress::Kind::Crust});
    adapter.call({par::ParProgress::Kind::BlocksStarted, 0, 7});
    PyProgress::Outcome outcome = adapter.into_result();

    gil = PyGILState_Ensure();
    EXPECT_FALSE(outcome.failed());
    EXPECT_EQ(call_count(globals.get()), 200 + 2);
    PyObject* calls = PyDict_GetItemString(globals.get(), "calls");
    Object last = Object::steal(PyObject_Repr(PyList_GetItem(calls, 200 + 1)));
    Object crust = Object::steal(PyObject_Repr(PyList_GetItem(calls, 200)));
    EXPECT_STREQ(PyUnicode_AsUTF8(crust.get()), "('crust', 0, 0)");
    EXPECT_STREQ(PyUnicode_AsUTF8(last.get()), "('blocks', 0, 7)");
    outcome = {};
    globals = Object();
    PyGILState_Release(gil);
}

TEST_F(PyProgressTest, KeepsTheFirstExceptionAndDropsLaterEvents) {
    PyGILState_STATE gil = PyGILState_Ensure();
    Object globals;
    Object fn = recorder(3, globals);
    PyProgress adapter(std::move(fn));
    PyGILState_Release(gil);

    flood(adapter, 200);
    PyProgress::Outcome outcome = adapter.into_result();

    gil = PyGILState_Ensure();
    EXPECT_EQ(call_count(globals.get()), 3);
    ASSERT_TRUE(outcome.failed());
    outcome.restore();
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_ValueError));
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Object message = Object::steal(PyObject_Str(value));
    EXPECT_STREQ(PyUnicode_AsUTF8(message.get()), "stop at 3");
    EXPECT_NE(tb, nullptr);  // the traceback travels with the exception
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    outcome = {};
    globals = Object();
    PyGILState_Release(gil);
}

TEST_F(PyProgressTest, NonCallableFailsOnFirstEventWithTypeError) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyProgress adapter(Object::steal(PyLong_FromLong(5)));
    PyGILState_Release(gil);

    adapter.call({par::ParProgress::Kind::Fallback});
    adapter.call({par::ParProgress::Kind::Done});
    PyProgress::Outcome outcome = adapter.into_result();

    gil = PyGILState_Ensure();
    ASSERT_TRUE(outcome.failed());
    EXPECT_TRUE(PyErr_GivenExceptionMatches(outcome.type.get(), PyExc_TypeError));
    outcome = {};
    PyGILState_Release(gil);
}

}  // namespace
}  // namespace kavro::py
