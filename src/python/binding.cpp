#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "parallel/pool.h"
#include "python/numpy_api.h"

namespace kavro::py {
namespace {

// "'<qualname>' object is not an instance of '<expected>'", or the None form.
void raise_not_instance(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    Object qualname = Object::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                 expected);
}

int npy_type(Dtype d) {
    switch (d) {
        case Dtype::Float64: return NPY_FLOAT64;
        case Dtype::Float32: return NPY_FLOAT32;
        case Dtype::Int32: return NPY_INT32;
    }
    return NPY_FLOAT64;
}

const char* const kBufferName = "_kavro.buffer";

template <class Owner>
void free_buffer(PyObject* capsule) {
    delete static_cast<Owner*>(PyCapsule_GetPointer(capsule, kBufferName));
}

// Gives `data`, kept alive by the heap object `owner`, to a new C-contiguous writeable
// array whose base object deletes `owner`.
template <class Owner>
PyObject* wrap_owned(Owner* owner, void* data, int ndim, const npy_intp* dims, int typenum) {
    Object capsule = Object::steal(PyCapsule_New(owner, kBufferName, &free_buffer<Owner>));
    if (!capsule) {
        delete owner;
        return nullptr;
    }
    PyObject* arr = PyArray_New(&PyArray_Type, ndim, const_cast<npy_intp*>(dims), typenum,
                                nullptr, data, 0, NPY_ARRAY_CARRAY, nullptr);
    if (!arr) return nullptr;
    // SetBaseObject steals the capsule's reference, also when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), capsule.release()) < 0) {
        Py_DECREF(arr);
        return nullptr;
    }
    return arr;
}

template <class V>
PyObject* wrap_vector(std::vector<V>&& data, int ndim, const npy_intp* dims, int typenum) {
    if (!ensure_numpy()) return nullptr;
    auto* owner = new std::vector<V>(std::move(data));
    // NumPy treats a null data pointer as "allocate for me"; an empty result must still
    // point at memory we own.
    if (owner->data() == nullptr) owner->reserve(1);
    return wrap_owned(owner, owner->data(), ndim, dims, typenum);
}

}  // namespace

bool bind_arguments(const char* fname, const char* const* names, std::size_t n_names,
                    std::size_t n_positional, std::size_t n_required, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (std::size_t i = 0; i < n_names; ++i) out[i] = nullptr;
    if (nargs > static_cast<Py_ssize_t>(n_positional)) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                     fname, n_positional, n_positional == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    if (nkw < 0) return false;
    auto find_keyword = [&](const char* name) -> PyObject* {
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GetItem(kwnames, j);
            if (key && PyUnicode_CompareWithASCIIString(key, name) == 0) return args[nargs + j];
        }
        return nullptr;
    };
    // Same order of checks as CPython's own keyword parser, so the first error a caller
    // sees matches what a Python-level function would report.
    for (std::size_t i = static_cast<std::size_t>(nargs); i < n_names; ++i) {
        out[i] = find_keyword(names[i]);
        if (!out[i] && i < n_required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname,
                         names[i], i + 1);
            return false;
        }
    }
    for (Py_ssize_t i = 0; i < nargs && nkw > 0; ++i) {
        if (find_keyword(names[i])) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                         names[i]);
            return false;
        }
    }
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GetItem(kwnames, j);
        bool known = false;
        for (std::size_t i = 0; i < n_names && !known; ++i)
            known = PyUnicode_CompareWithASCIIString(key, names[i]) == 0;
        if (!known) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            return false;
        }
    }
    return true;
}

bool take_array(PyObject* obj, Dtype dtype, const char* name, ArrayCopy& out) {
    if (!ensure_numpy()) return false;
    bool ok = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 2;
    if (ok) {
        PyArray_Descr* want = PyArray_DescrFromType(npy_type(dtype));
        if (!want) return false;
        ok = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), want);
        Py_DECREF(want);
    }
    if (!ok) {
        raise_not_instance(obj, "ndarray");
        add_processing_note(name);
        return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    out.array = Object::borrow(obj);
    out.rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    out.cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    return true;
}

void copy_array(ArrayCopy& a, bool on_pool) {
    auto* arr = reinterpret_cast<PyArrayObject*>(a.array.get());
    const std::size_t isz = static_cast<std::size_t>(PyArray_ITEMSIZE(arr));
    const std::size_t count = a.rows * a.cols;
    // Not zeroed first: every byte is written below, and at 10^7 points the zeroing alone
    // doubled the time the caller's thread spends here.
    a.bytes.reset(new unsigned char[count == 0 ? 1 : count * isz]);
    a.row_stride = static_cast<std::ptrdiff_t>(a.cols);
    a.col_stride = 1;
    if (count == 0) return;
    const auto* src = static_cast<const unsigned char*>(PyArray_DATA(arr));
    unsigned char* dst = a.bytes.get();
    const auto block_copy = [&] {
        const std::size_t bytes = count * isz;
        constexpr std::size_t piece = std::size_t{1} << 20;
        if (!on_pool || bytes < 4 * piece) {
            std::memcpy(dst, src, bytes);
            return;
        }
        // Isolated: this thread waits while it holds the interpreter lock, so it must not
        // take up work of another step meanwhile (a finished block's report needs that lock).
        par::isolated([&] {
            par::for_each_index((bytes + piece - 1) / piece, [&](std::size_t k) {
                const std::size_t at = k * piece;
                std::memcpy(dst + at, src + at, std::min(piece, bytes - at));
            });
        });
    };
    if (PyArray_IS_C_CONTIGUOUS(arr)) {
        block_copy();
    } else if (PyArray_IS_F_CONTIGUOUS(arr)) {
        // Keep the caller's memory order: one block copy, read through column-major strides.
        block_copy();
        a.row_stride = 1;
        a.col_stride = static_cast<std::ptrdiff_t>(a.rows);
    } else {
        // Any strides, possibly negative or unaligned: element-wise into row-major order.
        const npy_intp s0 = PyArray_STRIDE(arr, 0);
        const npy_intp s1 = PyArray_STRIDE(arr, 1);
        for (std::size_t r = 0; r < a.rows; ++r) {
            const unsigned char* row = src + static_cast<npy_intp>(r) * s0;
            for (std::size_t c = 0; c < a.cols; ++c, dst += isz)
                std::memcpy(dst, row + static_cast<npy_intp>(c) * s1, isz);
        }
    }
}

bool start_pool_released() {
    // Once started, releasing the lock would only let another thread take it for up to a
    // switch interval before this call may go on.
    if (par::pool_started()) return true;
    char refused[200] = "";
    {
        GilRelease unlocked;
        try {
            par::start_pool();
        } catch (const std::bad_alloc&) {
            std::snprintf(refused, sizeof refused, "out of memory");
        } catch (const std::exception& e) {
            std::snprintf(refused, sizeof refused, "%s", e.what());
        }
    }
    if (!*refused) return true;
    PyErr_Format(PyExc_MemoryError, "could not start the worker threads: %s", refused);
    return false;
}

bool take_bool(PyObject* obj, const char* name, bool& out) {
    out = false;
    if (!obj) return true;
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (!ensure_numpy()) return false;
    if (PyObject_TypeCheck(obj, &PyBoolArrType_Type)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth >= 0) {
            out = truth != 0;
            return true;
        }
    } else {
        raise_not_instance(obj, "bool");
    }
    add_processing_note(name);
    return false;
}

bool check_callable(PyObject* obj, const char* name) {
    if (PyCallable_Check(obj)) return true;
    // An object without a call slot runs nothing when called: the interpreter only raises
    // its TypeError, worded as for any other call of it ("'int' object is not callable").
    Object result = Object::steal(PyObject_CallNoArgs(obj));
    if (result) {
        raise_panic("an object that is not callable returned from a call");
        return false;
    }
    add_processing_note(name);
    return false;
}

bool take_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    Object index = Object::steal(PyNumber_Index(obj));
    if (index) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (!(v == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out = v;
            return true;
        }
    }
    add_processing_note(name);
    return false;
}

PyObject* wrap_i32(std::vector<std::int32_t>&& data, int ndim, const std::size_t* shape) {
    npy_intp dims[2] = {0, 0};
    for (int i = 0; i < ndim; ++i) dims[i] = static_cast<npy_intp>(shape[i]);
    return wrap_vector(std::move(data), ndim, dims, NPY_INT32);
}

PyObject* wrap_i32(I32Array&& block) {
    if (!ensure_numpy()) return nullptr;
    const npy_intp dims[2] = {static_cast<npy_intp>(block.rows), static_cast<npy_intp>(block.cols)};
    std::int32_t* data = block.data;
    return wrap_owned(new I32Array(std::move(block)), data, 2, dims, NPY_INT32);
}

PyObject* wrap_f64(std::vector<double>&& data, std::size_t len) {
    const npy_intp dims[1] = {static_cast<npy_intp>(len)};
    return wrap_vector(std::move(data), 1, dims, NPY_FLOAT64);
}

}  // namespace kavro::py
