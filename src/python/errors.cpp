#include <exception>
#include <new>

#include "python/binding.h"

namespace kavro::py {
namespace {

PyObject* panic_type() {
    // Created on first need and kept for the life of the process, like NumPy's table.
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "_kavro.PanicException",
            "A broken internal invariant of _kavro. Derives from BaseException so that it is "
            "not swallowed by handlers for ordinary errors.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (type) PyErr_SetString(type, message);
    return nullptr;
}

void raise_from_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
}

void add_processing_note(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value) {
        if (tb) PyException_SetTraceback(value, tb);
        Object note = Object::steal(PyUnicode_FromFormat("while processing '%s'", name));
        Object done;
        if (note) done = Object::steal(PyObject_CallMethod(value, "add_note", "O", note.get()));
        if (!done) PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
}

PyObject* raise_value_error(const std::string& text) {
    Object msg = Object::steal(PyUnicode_FromStringAndSize(text.data(),
                                                           static_cast<Py_ssize_t>(text.size())));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return nullptr;
}

}  // namespace kavro::py
