// circumradii[_f32] and vertex_neighbor_vertices: queries on a finished triangulation.
#include <array>
#include <utility>

#include "alpha/circumradii.h"
#include "core/csr_adjacency.h"
#include "core/point_view.h"
#include "python/functions.h"

namespace kavro::py {
namespace {

// Int32 entries are taken as their unsigned 32-bit patterns, so -1 reaches the range
// check as 4294967295 instead of wrapping into a valid index.
template <std::size_t K>
std::vector<std::array<std::uint32_t, K>> row_list(const ArrayCopy& s) {
    std::vector<std::array<std::uint32_t, K>> rows(s.rows);
    const std::int32_t* data = s.data<std::int32_t>();
    for (std::size_t r = 0; r < s.rows; ++r)
        for (std::size_t k = 0; k < K; ++k)
            rows[r][k] = static_cast<std::uint32_t>(
                data[static_cast<std::ptrdiff_t>(r) * s.row_stride +
                     static_cast<std::ptrdiff_t>(k) * s.col_stride]);
    return rows;
}

template <class T>
PyObject* radii(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    const CallGate inside;
    try {
        static const char* const names[] = {"points", "simplices"};
        PyObject* bound[2];
        if (!bind_arguments(fname, names, 2, 2, 2, args, nargs, kwnames, bound)) return nullptr;
        ArrayCopy points, simplices;
        if (!take_array(bound[0], std::is_same_v<T, double> ? Dtype::Float64 : Dtype::Float32,
                        "points", points))
            return nullptr;
        if (!take_array(bound[1], Dtype::Int32, "simplices", simplices)) return nullptr;
        copy_array(points);
        copy_array(simplices);

        Result<std::vector<double>, std::string> result{std::string()};
        {
            GilRelease unlocked;
            const PointView<T> view{points.data<T>(), points.rows, points.cols, points.row_stride,
                                    points.col_stride};
            const std::size_t k = simplices.cols;
            if (k == 3) {
                result = alpha::circumradii<T, 3>(view, row_list<3>(simplices));
            } else if (k == 4) {
                result = alpha::circumradii<T, 4>(view, row_list<4>(simplices));
            } else {
                result = "simplices must have 3 or 4 columns, got " + std::to_string(k);
            }
            points.free_copy();
            simplices.free_copy();
        }
        if (!result.ok()) return raise_value_error(result.error());
        const std::size_t m = result.value().size();
        return wrap_f64(std::move(result.value()), m);
    } catch (...) {
        raise_from_current_exception();
        return nullptr;
    }
}

}  // namespace

KAVRO_FASTCALL(circumradii) {
    (void)self;
    return radii<double>("circumradii", args, nargs, kwnames);
}
KAVRO_FASTCALL(circumradii_f32) {
    (void)self;
    return radii<float>("circumradii_f32", args, nargs, kwnames);
}

KAVRO_FASTCALL(vertex_neighbor_vertices) {
    (void)self;
    const CallGate inside;
    try {
        static const char* const names[] = {"simplices", "n_points"};
        PyObject* bound[2];
        if (!bind_arguments("vertex_neighbor_vertices", names, 2, 2, 2, args, nargs, kwnames,
                            bound))
            return nullptr;
        ArrayCopy simplices;
        if (!take_array(bound[0], Dtype::Int32, "simplices", simplices)) return nullptr;
        std::uint64_t n_points = 0;
        if (!take_u64(bound[1], "n_points", n_points)) return nullptr;
        // n_points.__index__ is user code: it may have reshaped, resized or retyped the
        // array, so the shape read above is stale. Take the array again as it stands now;
        // nothing runs between this and the copy.
        if (!take_array(bound[0], Dtype::Int32, "simplices", simplices)) return nullptr;
        if (simplices.cols < 2) return raise_value_error("simplices must have at least 2 columns");
        if (n_points >= 2147483648ull) return raise_value_error("n_points does not fit int32");
        copy_array(simplices);

        Result<CsrAdjacency, std::string> result{std::string()};
        {
            GilRelease unlocked;
            const SimplexView view{simplices.data<std::int32_t>(), simplices.rows, simplices.cols,
                                   simplices.row_stride, simplices.col_stride};
            result = csr_adjacency(view, n_points);
            simplices.free_copy();
        }
        if (!result.ok()) return raise_value_error(result.error());
        CsrAdjacency& csr = result.value();
        const std::size_t n_indptr = csr.indptr.size(), n_indices = csr.indices.size();
        Object indptr = Object::steal(wrap_i32(std::move(csr.indptr), 1, &n_indptr));
        if (!indptr) return nullptr;
        Object indices = Object::steal(wrap_i32(std::move(csr.indices), 1, &n_indices));
        if (!indices) return nullptr;
        Object tuple = Object::steal(PyTuple_New(2));
        if (!tuple) return nullptr;
        PyTuple_SetItem(tuple.get(), 0, indptr.release());
        PyTuple_SetItem(tuple.get(), 1, indices.release());
        return tuple.release();
    } catch (...) {
        raise_from_current_exception();
        return nullptr;
    }
}

}  // namespace kavro::py
