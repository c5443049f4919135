// Module definition of _kavro: multi-phase initialisation with one execution slot that
// adds the seven functions, lists them in __all__ and registers the exit gate's atexit
// handler. Importing starts no thread and does not touch NumPy.
#include "python/exit_gate.h"
#include "python/functions.h"

namespace kavro::py {
namespace {

#define KAVRO_BUILD_DOC(name, what)                                                             \
    name "(points, *, parallel=False, progress=None)\n--\n\n" what

#define KAVRO_EVENTS                                                                            \
    "With parallel=True the triangulation is built by spatial blocks on the shared worker\n"   \
    "pool: worthwhile for large clouds, the same set of simplices in an unspecified row\n"     \
    "order, and a fall-back to the sequential build on degenerate inputs. `progress`\n"        \
    "(parallel only) is a callable receiving (stage, done, total) events: (\"blocks\", done,\n" \
    "total) per finished block, then (\"crust\", 0, 0), (\"merge\", 0, 0) and finally\n"     \
    "(\"done\", 0, 0), or (\"fallback\", 0, 0) right before the sequential kernel takes over.\n"

#define KAVRO_DOC_2D                                                                            \
    "Delaunay triangulation of a set of 2D points by a radial sweep.\n\n"                        \
    "Returns three int32 arrays: an (m, 3) array of vertex indices into `points`, one\n"          \
    "counterclockwise triangle per row; an (m, 3) array holding, per triangle, the neighbour\n"  \
    "triangle opposite each vertex, -1 on the hull; and a (d, 2) array of\n"                     \
    "[dropped index, kept index] rows for exact duplicate input points (d = 0 when all points\n" \
    "are distinct; the kept index is the first occurrence).\n\n" KAVRO_EVENTS

#define KAVRO_DOC_3D                                                                            \
    "Delaunay tetrahedralization of a set of 3D points. The points are lifted onto a 4D\n"       \
    "paraboloid, the 4D convex hull is built by incremental insertion along a space-filling\n"   \
    "curve, and its downward-facing facets are the Delaunay tetrahedra.\n\n"                     \
    "Returns an (m, 4) int32 array of vertex indices (one tetrahedron per row, positive\n"        \
    "determinant of (b - a, c - a, d - a)), an (m, 4) array of the neighbour tetrahedron\n"       \
    "opposite each vertex (-1 on the hull boundary) and the (d, 2) duplicate rows as in 2D.\n"    \
    "`parallel` and `progress` behave as for calculate_kavro_2d, which lists the events.\n"

#define KAVRO_WIDENS                                                                            \
    "\nFloat32 coordinates, without an upcast copy of the input; they widen to float64 exactly,\n" \
    "so the result is identical to converting the input to float64 first.\n"

const char kDoc2d[] = KAVRO_BUILD_DOC("calculate_kavro_2d", KAVRO_DOC_2D);
const char kDoc2dF32[] = KAVRO_BUILD_DOC("calculate_kavro_2d_f32", KAVRO_DOC_2D) KAVRO_WIDENS;
const char kDoc3d[] = KAVRO_BUILD_DOC("calculate_kavro_3d", KAVRO_DOC_3D);
const char kDoc3dF32[] = KAVRO_BUILD_DOC("calculate_kavro_3d_f32", KAVRO_DOC_3D) KAVRO_WIDENS;

const char kDocNeighbors[] =
    "vertex_neighbor_vertices(simplices, n_points)\n--\n\n"
    "Vertex adjacency of a mesh in compressed sparse row form.\n\n"
    "From an (m, k) int32 simplex array, returns the int32 arrays (indptr, indices): the\n"
    "neighbours of vertex v are indices[indptr[v]:indptr[v + 1]], sorted ascending.\n";

#define KAVRO_DOC_RADII(name)                                                                   \
    name "(points, simplices)\n--\n\n"                                                           \
    "Circumradius of each Delaunay simplex, for alpha-shape filtration.\n\n"                     \
    "Takes `points` (n, 2) or (n, 3) and an (m, 3) or (m, 4) int32 `simplices` array as\n"        \
    "produced by calculate_kavro_2d or calculate_kavro_3d, and returns an (m,) float64 array\n"  \
    "of radii in row order. Works on the finished triangulation without triangulating\n"        \
    "again. Degenerate simplices get an infinite radius.\n"

const char kDocRadii[] = KAVRO_DOC_RADII("circumradii");
const char kDocRadiiF32[] = KAVRO_DOC_RADII("circumradii_f32") KAVRO_WIDENS;

// METH_FASTCALL | METH_KEYWORDS with METH_STATIC set as well: the value the function table
// has always carried; PyCMethod_New ignores the static bit and binds the module as self.
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
static_assert(kFlags == 0xa2);

#define KAVRO_ENTRY(fn, doc) \
    {#fn, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), kFlags, doc}

PyMethodDef functions[] = {
    KAVRO_ENTRY(calculate_kavro_2d, kDoc2d),
    KAVRO_ENTRY(calculate_kavro_2d_f32, kDoc2dF32),
    KAVRO_ENTRY(calculate_kavro_3d, kDoc3d),
    KAVRO_ENTRY(calculate_kavro_3d_f32, kDoc3dF32),
    KAVRO_ENTRY(vertex_neighbor_vertices, kDocNeighbors),
    KAVRO_ENTRY(circumradii, kDocRadii),
    KAVRO_ENTRY(circumradii_f32, kDocRadiiF32),
};

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    Object fn = Object::steal(PyCMethod_New(def, module, module_name, nullptr));
    if (!fn) return false;
    Object name = Object::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        raise_panic("function __name__ is not a string");
        return false;
    }
    Object all = Object::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Object::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ of the module is not a list");
        return false;
    }
    return PyList_Append(all.get(), name.get()) == 0 &&
           PyObject_SetAttr(module, name.get(), fn.get()) == 0;
}

int exec_module(PyObject* module) noexcept {
    try {
        if (!PyModule_Check(module)) {
            Object qualname = Object::steal(PyType_GetQualName(Py_TYPE(module)));
            if (qualname)
                PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'module'",
                             qualname.get());
            return -1;
        }
        Object module_name = Object::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        for (PyMethodDef& def : functions)
            if (!add_function(module, module_name.get(), &def)) return -1;
        // At import rather than on first use: exit handlers run last-registered first, so
        // the earlier it is registered, the more handlers (all registered after the
        // import) may still wait for our threads; one registered by a first call inside
        // another exit handler would never run at all.
        return exit_gate::register_handler() ? 0 : -1;
    } catch (...) {
        raise_from_current_exception();
        return -1;
    }
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kavro",
    "Natively implemented Python module for exact Delaunay triangulations of NumPy point arrays.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kavro::py

PyMODINIT_FUNC PyInit__kavro(void) { return PyModuleDef_Init(&kavro::py::module_def); }
