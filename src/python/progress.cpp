#include "python/progress.h"

namespace kavro::py {
namespace {

struct Arguments {
    const char* stage;
    unsigned long long done;
    unsigned long long total;
};

Arguments arguments_of(const par::ParProgress& e) {
    using Kind = par::ParProgress::Kind;
    switch (e.kind) {
        case Kind::BlocksStarted: return {"blocks", 0, e.total};
        case Kind::BlockDone: return {"blocks", e.done, e.total};
        case Kind::Crust: return {"crust", 0, 0};
        case Kind::Merge: return {"merge", 0, 0};
        case Kind::Fallback: return {"fallback", 0, 0};
        case Kind::Done: return {"done", 0, 0};
    }
    return {"done", 0, 0};
}

}  // namespace

void PyProgress::call(const par::ParProgress& event) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (type_) return;
    // Once the interpreter is exiting only its exiting thread may take the lock: the event
    // is dropped and the build runs on.
    if (!exit_gate::enter(false)) return;
    const Arguments a = arguments_of(event);
    // Works on pool threads the interpreter has never seen and on the calling thread,
    // which released the lock for the build.
    const PyGILState_STATE gil = PyGILState_Ensure();
    {
        Object args = Object::steal(Py_BuildValue("(sKK)", a.stage, a.done, a.total));
        Object result;
        if (args) {
            result = Object::steal(PyObject_Call(callback_.get(), args.get(), nullptr));
        } else {
            raise_panic("progress event arguments could not be built");
        }
        if (!result) {
            PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
            PyErr_Fetch(&type, &value, &tb);
            PyErr_NormalizeException(&type, &value, &tb);
            if (value && tb) PyException_SetTraceback(value, tb);
            type_ = Object::steal(type);
            value_ = Object::steal(value);
            traceback_ = Object::steal(tb);
        }
    }
    PyGILState_Release(gil);
    exit_gate::leave();
}

PyProgress::Outcome PyProgress::into_result() {
    std::lock_guard<std::mutex> lock(mutex_);
    Outcome out;
    out.callback = std::move(callback_);
    out.type = std::move(type_);
    out.value = std::move(value_);
    out.traceback = std::move(traceback_);
    return out;
}

}  // namespace kavro::py
