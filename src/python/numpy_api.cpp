#define KAVRO_NUMPY_API_DEFINE
#include "python/numpy_api.h"

#include <cstdlib>

namespace kavro::py {
namespace {

// NumPy 2 moved its core from numpy.core to numpy._core; the old name still imports but
// warns, so the module is chosen from the running NumPy's major version.
bool load_array_api() {
    Object numpy = Object::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    Object version = Object::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    const char* text = PyUnicode_AsUTF8AndSize(version.get(), nullptr);
    if (!text) return false;
    const long major = std::strtol(text, nullptr, 10);
    const char* core = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";

    Object multiarray = Object::steal(PyImport_ImportModule(core));
    if (!multiarray) return false;
    Object capsule = Object::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) return false;
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) return false;
    // The table stays alive with NumPy's module, which is never unloaded.
    PyArray_API = table;
    if (PyArray_GetNDArrayCVersion() < NPY_ABI_VERSION ||
        static_cast<int>(PyArray_GetNDArrayCFeatureVersion()) < NPY_FEATURE_VERSION) {
        PyArray_API = nullptr;
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return true;
}

}  // namespace

bool ensure_numpy() {
    if (PyArray_API) return true;
    if (load_array_api()) return true;
    PyErr_Clear();
    raise_panic("Failed to access NumPy array API capsule");
    return false;
}

}  // namespace kavro::py
