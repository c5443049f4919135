// calculate_kavro_{2d,3d}[_f32]: one procedure for two dimensions and two coordinate types.
#include <optional>
#include <utility>

#include "core/point_view.h"
#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"
#include "parallel/mod.h"
#include "parallel/pool.h"
#include "python/functions.h"
#include "python/progress.h"

namespace kavro::py {
namespace {

template <class T>
constexpr Dtype dtype_of = std::is_same_v<T, double> ? Dtype::Float64 : Dtype::Float32;

// The three int32 blocks of a finished build, or the text of its error.
struct Converted {
    I32Array simplices, neighbors, duplicates;
    std::string error;
    bool failed = false;
};

template <std::size_t K>
Converted convert(Result<DelaunayOutput<K>>&& result) {
    Converted out;
    if (!result.ok()) {
        out.failed = true;
        out.error = result.error().message();
        return out;
    }
    auto& r = result.value();
    out.simplices = to_i32_array(std::move(r.simplices));
    out.neighbors = to_i32_array(std::move(r.neighbors));
    out.duplicates = to_i32_array(std::move(r.duplicates));
    return out;
}

// The build the arguments ask for; runs with the interpreter lock released.
template <class T, std::size_t D>
Converted run_build(const PointView<T>& view, const std::optional<par::ParConfig>& parallel,
                    PyProgress* progress) {
    if (!parallel) {
        if constexpr (D == 2) {
            return convert(delaunay2d(view));
        } else {
            return convert(delaunay4d(view));
        }
    }
    if (!progress) {
        if constexpr (D == 2) {
            return convert(par::delaunay2d_par(view, *parallel));
        } else {
            return convert(par::delaunay4d_par(view, *parallel));
        }
    }
    const par::ProgressSink sink = progress->sink();
    if constexpr (D == 2) {
        return convert(std::move(par::delaunay2d_par_with_progress(view, *parallel, sink).result));
    } else {
        return convert(std::move(par::delaunay4d_par_with_progress(view, *parallel, sink).result));
    }
}

// What the points' shape alone decides; `progress` is checked between the two.
template <std::size_t D>
bool check_point_shape(const ArrayCopy& points) {
    if (points.cols != D) {
        raise_value_error(D == 2 ? "input points must have shape (n, 2)"
                                 : "input points must have shape (n, 3)");
        return false;
    }
    return true;
}

// Decided on the shape alone: such an input is refused before its copy is made (a
// zero-stride view of billions of rows has no memory behind it).
bool check_point_count(const ArrayCopy& points) {
    if (points.rows <= MAX_POINTS) return true;
    raise_value_error(DelaunayError::too_many_points(points.rows).message());
    return false;
}

template <class T, std::size_t D>
PyObject* build(const char* fname, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    const CallGate inside;
    try {
        static const char* const names[] = {"points", "parallel", "progress"};
        PyObject* bound[3];
        if (!bind_arguments(fname, names, 3, 1, 1, args, nargs, kwnames, bound)) return nullptr;

        ArrayCopy points;
        if (!take_array(bound[0], dtype_of<T>, "points", points)) return nullptr;
        bool parallel = false;
        if (!take_bool(bound[1], "parallel", parallel)) return nullptr;
        Object progress;
        if (bound[2] && bound[2] != Py_None) progress = Object::borrow(bound[2]);
        // Refused with the arguments' types: called, it would fail on its first event, but
        // that error would surface only after the whole build. Without parallel=True any
        // progress object is refused below, callable or not.
        if (progress && parallel && !check_callable(progress.get(), "progress")) return nullptr;

        if (!check_point_shape<D>(points)) return nullptr;
        if (progress && !parallel)
            return raise_value_error("progress reporting requires parallel=True");
        if (!check_point_count(points)) return nullptr;

        // Read while the lock is held: another Python thread assigning os.environ calls
        // setenv, which may move the environment that getenv is reading.
        std::optional<par::ParConfig> config;
        // Held until the build is over, so that a fork meanwhile leaves the pool alone.
        std::optional<par::PoolLease> lease;
        bool on_pool = false;
        if (parallel) {
            config = par::ParConfig::from_env(D == 2 ? par::ParConfig::kDefaultBlockTarget2d
                                                     : par::ParConfig::kDefaultBlockTarget3d);
            lease.emplace();
            // In a child forked while the pool ran, nothing may touch the pool: the build
            // then runs the sequential kernel.
            on_pool = lease->usable();
            // Before the copy below, which may use the pool under the lock.
            if (on_pool && !start_pool_released()) return nullptr;
            // A first start releases the lock: another thread may have retyped, reshaped or
            // replaced the array's data since it was taken. Take it again as it stands now;
            // nothing releases the lock from here to the copy.
            if (!take_array(bound[0], dtype_of<T>, "points", points) ||
                !check_point_shape<D>(points) || !check_point_count(points))
                return nullptr;
        }
        copy_array(points, on_pool);
        // A call that keeps the lock drops its progress events: a pool thread of any build
        // could otherwise wait for the lock that this thread holds while it waits for them.
        if (inside.keeps_lock()) progress = Object();
        Converted result;
        // Declared before the lock is released: its references are dropped only once the
        // lock is held again.
        PyProgress::Outcome outcome;
        {
            std::optional<PyProgress> adapter;
            if (progress) adapter.emplace(std::move(progress));
            GilRelease unlocked;
            const PointView<T> view{points.data<T>(), points.rows, points.cols, points.row_stride,
                                    points.col_stride};
            // Isolated while it keeps the lock: waiting for its own steps, this thread must
            // not take up a task of another build, whose progress event needs the lock.
            if (inside.keeps_lock() && parallel) {
                result = par::isolated(
                    [&] { return run_build<T, D>(view, config, adapter ? &*adapter : nullptr); });
            } else {
                result = run_build<T, D>(view, config, adapter ? &*adapter : nullptr);
            }
            points.free_copy();
            if (adapter) outcome = adapter->into_result();
        }
        // The callable's first exception replaces whatever the build returned.
        if (outcome.failed()) {
            outcome.restore();
            return nullptr;
        }
        if (result.failed) return raise_value_error(result.error);

        Object simplices = Object::steal(wrap_i32(std::move(result.simplices)));
        if (!simplices) return nullptr;
        Object neighbors = Object::steal(wrap_i32(std::move(result.neighbors)));
        if (!neighbors) return nullptr;
        Object duplicates = Object::steal(wrap_i32(std::move(result.duplicates)));
        if (!duplicates) return nullptr;
        Object tuple = Object::steal(PyTuple_New(3));
        if (!tuple) return nullptr;
        PyTuple_SetItem(tuple.get(), 0, simplices.release());
        PyTuple_SetItem(tuple.get(), 1, neighbors.release());
        PyTuple_SetItem(tuple.get(), 2, duplicates.release());
        return tuple.release();
    } catch (...) {
        raise_from_current_exception();
        return nullptr;
    }
}

}  // namespace

KAVRO_FASTCALL(calculate_kavro_2d) {
    (void)self;
    return build<double, 2>("calculate_kavro_2d", args, nargs, kwnames);
}
KAVRO_FASTCALL(calculate_kavro_2d_f32) {
    (void)self;
    return build<float, 2>("calculate_kavro_2d_f32", args, nargs, kwnames);
}
KAVRO_FASTCALL(calculate_kavro_3d) {
    (void)self;
    return build<double, 3>("calculate_kavro_3d", args, nargs, kwnames);
}
KAVRO_FASTCALL(calculate_kavro_3d_f32) {
    (void)self;
    return build<float, 3>("calculate_kavro_3d_f32", args, nargs, kwnames);
}

}  // namespace kavro::py
