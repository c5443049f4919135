// The binding layer: owned references, the interpreter lock, argument binding, array
// intake and result hand-over. Every function that can fail sets a Python exception and
// returns a null/false value; nothing here throws except std::bad_alloc.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <memory>
#include <vector>

#include "core/output.h"
#include "python/exit_gate.h"

namespace kavro::py {

// Owns one strong reference (nanobind's `object`): `steal` adopts a new reference,
// `borrow` takes a borrowed one and increments it.
class Object {
public:
    Object() = default;
    static Object steal(PyObject* p) { return Object(p); }
    static Object borrow(PyObject* p) {
        Py_XINCREF(p);
        return Object(p);
    }
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Object(Object&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Object& operator=(Object&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ~Object() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Object(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Holds the exit gate for a call of a module function, from its start (with the lock
// held) to its return: references dropped on the way out can run user code. Declare it
// first, so that every other local is gone before it ends. A call that starts when the
// gate is closed to its thread keeps the lock until it returns (GilRelease then releases
// nothing), and its progress events are dropped.
class CallGate {
public:
    CallGate() : admitted_(exit_gate::enter(true)) {
        if (!admitted_) exit_gate::begin_locked_call();
    }
    ~CallGate() {
        if (admitted_) {
            exit_gate::leave();
        } else {
            exit_gate::end_locked_call();
        }
    }
    CallGate(const CallGate&) = delete;
    CallGate& operator=(const CallGate&) = delete;

    // The call keeps the interpreter lock throughout.
    bool keeps_lock() const { return !admitted_; }

private:
    bool admitted_;
};

// Releases the interpreter lock for its lifetime, leaving the exit gate meanwhile so that
// an exit never waits for the computation; the destructor takes the lock back, also when
// a C++ exception unwinds through the computation. If the interpreter is exiting by then,
// the thread parks instead: it must not take the lock, and cannot unwind. Inside a call
// that keeps the lock it does nothing.
class GilRelease {
public:
    GilRelease() : keep_(exit_gate::in_locked_call()) {
        if (keep_) return;
        state_ = PyEval_SaveThread();
        depth_ = exit_gate::suspend();
    }
    ~GilRelease() {
        if (keep_) return;
        if (!exit_gate::resume(depth_)) exit_gate::park();
        PyEval_RestoreThread(state_);
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    bool keep_;
    PyThreadState* state_ = nullptr;
    int depth_ = 0;
};

// The binding layer's exception for broken invariants: a BaseException subclass, so a
// bare `except Exception` cannot swallow it. Sets it with `message` and returns null.
PyObject* raise_panic(const char* message);

// Maps the C++ exception in flight (inside a catch block) to a Python exception.
void raise_from_current_exception();

// Attaches "while processing '<name>'" to the exception currently set; a failing
// add_note is ignored.
void add_processing_note(const char* name);

// Binds fast-call arguments to `names`, of which the first `n_positional` may be given by
// position, the rest by keyword only. `n_required` leading names are mandatory. On
// success out[i] is the borrowed argument or null when absent.
bool bind_arguments(const char* fname, const char* const* names, std::size_t n_names,
                    std::size_t n_positional, std::size_t n_required, PyObject* const* args,
                    Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);

// Element types the array intake accepts.
enum class Dtype { Float64, Float32, Int32 };

// A read-only input array held for the whole call, and its private dense copy.
struct ArrayCopy {
    Object array;                 // strong reference to the caller's array
    std::unique_ptr<unsigned char[]> bytes;  // the copy, in the element type of the array
    std::size_t rows = 0;
    std::size_t cols = 0;
    // strides of the copy in elements (row-major, or column-major for F-contiguous input)
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    template <class T>
    const T* data() const {
        return reinterpret_cast<const T*>(bytes.get());
    }
    void free_copy() { bytes.reset(); }
};

// Checks that `obj` is a 2-D ndarray (or subclass) of a dtype equivalent to `dtype` and
// holds a reference to it; TypeError with the note naming `name` otherwise.
bool take_array(PyObject* obj, Dtype dtype, const char* name, ArrayCopy& out);
// Copies the array held by take_array into out.bytes; needs the interpreter lock. With
// `on_pool`, a contiguous array is copied in pieces by the worker pool (for the parallel
// build, whose pool is running anyway); the calling thread keeps the lock throughout.
void copy_array(ArrayCopy& a, bool on_pool = false);

// Starts the worker pool (par::start_pool) with the interpreter lock released, so that a
// thread or memory refused to it is reported instead of met inside oneTBB, under the
// lock. MemoryError naming the reason when it fails; a later call tries again. Once the
// pool runs it returns at once, without releasing the lock.
bool start_pool_released();

// `parallel` as a Python bool or NumPy bool scalar; absent means false.
bool take_bool(PyObject* obj, const char* name, bool& out);
// True when `obj` is callable; otherwise the TypeError that calling it raises, with the
// note naming `name`.
bool check_callable(PyObject* obj, const char* name);
// An integer (or __index__) as unsigned 64-bit, keeping the interpreter's exception.
bool take_u64(PyObject* obj, const char* name, std::uint64_t& out);

// Hands an owned int32 / float64 buffer to NumPy without copying; a capsule frees it when
// the array and its views are gone. shape has ndim entries.
PyObject* wrap_i32(std::vector<std::int32_t>&& data, int ndim, const std::size_t* shape);
PyObject* wrap_i32(I32Array&& block);
PyObject* wrap_f64(std::vector<double>&& data, std::size_t len);

// ValueError with a module text.
PyObject* raise_value_error(const std::string& text);

}  // namespace kavro::py
