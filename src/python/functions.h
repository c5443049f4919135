// The seven Python-visible functions, as fast-call entry points. Each is noexcept: C++
// exceptions stop inside it and become Python exceptions.
#pragma once

#include "python/binding.h"

namespace kavro::py {

#define KAVRO_FASTCALL(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept

KAVRO_FASTCALL(calculate_kavro_2d);
KAVRO_FASTCALL(calculate_kavro_2d_f32);
KAVRO_FASTCALL(calculate_kavro_3d);
KAVRO_FASTCALL(calculate_kavro_3d_f32);
KAVRO_FASTCALL(vertex_neighbor_vertices);
KAVRO_FASTCALL(circumradii);
KAVRO_FASTCALL(circumradii_f32);

}  // namespace kavro::py
