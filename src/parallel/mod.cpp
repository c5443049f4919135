#include "parallel/mod.h"

#include <cassert>
#include <cstdlib>
#include <utility>

#include "core/scaling.h"
#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"
#include "parallel/grid.h"
#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace kavro::par {

std::optional<std::uint64_t> parse_setting(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    // Covers "", "+" and "-" alike: nothing left to read (or a '-' below) is malformed.
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

std::uint64_t read_setting(const char* name, std::uint64_t fallback) {
    const char* raw = std::getenv(name);
    if (!raw) return fallback;
    // A non-UTF-8 value cannot be all ASCII digits, so the digit rule refuses it too.
    return parse_setting(raw).value_or(fallback);
}

}  // namespace

ParConfig ParConfig::from_env(std::uint64_t default_block_target) {
    ParConfig config{};
    config.min_points = read_setting("KAVRO_PARALLEL_MIN_POINTS", kDefaultMinPoints);
    config.block_target = read_setting("KAVRO_PARALLEL_BLOCK_TARGET", default_block_target);
    return config;
}

namespace {

template <std::size_t D, class T>
Result<DelaunayOutput<D + 1>> sequential(const PointView<T>& points, const ProgressSink* progress) {
    if (progress) report(*progress, ParProgress{ParProgress::Kind::Fallback});
    auto result = [&] {
        if constexpr (D == 2) {
            return delaunay2d(points);
        } else {
            return delaunay4d(points);
        }
    }();
    if (progress) report(*progress, ParProgress{ParProgress::Kind::Done});
    return result;
}

}  // namespace

template <std::size_t D, class T>
ParOutput<D + 1> run_par(const PointView<T>& points, std::uint64_t min_points,
                         std::uint64_t block_target, const ProgressSink* progress) {
    assert(points.cols == D && "input points have the wrong dimension");
    const std::uint64_t n = points.rows;
    // Held to the end: a fork meanwhile must leave the pool's threads alone.
    const PoolLease lease;
    if (n < min_points || n > MAX_POINTS || !lease.usable()) {
        return {sequential<D>(points, progress)};
    }
    start_pool();

    // The grid holds the points times the power of two the kernels would scale them by, so
    // the pipeline decides on the numbers a sequential run decides on, and a cloud and its
    // power-of-two multiples take the same path to the same result. Where the plain
    // predicates are not exact on those numbers, the circumballs' error bounds do not hold
    // either: nothing there may be certified, so such a cloud goes to the kernel before a
    // grid is spent on it.
    const PowerOfTwoScale scale = cloud_scale<D>(points);
    if (!scale.in_exact_range()) return {sequential<D>(points, progress)};
    Grid<D> grid = build_grid<D, T>(points, block_target, scale);
    // The grid is released before a sequential run: its memory would only add to the
    // kernel's peak.
    if (grid.blocks.size() <= 1) {
        grid = Grid<D>();
        return {sequential<D>(points, progress)};
    }
    auto mesh = triangulate_par<D>(grid, kernel_ops<D>(), progress);
    if (!mesh.ok()) {
        // Only the presence of a reason matters: the whole input goes to the kernel.
        grid = Grid<D>();
        return {sequential<D>(points, progress)};
    }
    DelaunayOutput<D + 1> out;
    out.simplices = std::move(mesh.value().simplices);
    out.neighbors = std::move(mesh.value().neighbors);
    out.duplicates = std::move(grid.duplicates);
    if (progress) report(*progress, ParProgress{ParProgress::Kind::Done});
    return {std::move(out)};
}

template <class T>
Result<DelaunayOutput<3>> delaunay2d_par(const PointView<T>& points, const ParConfig& c) {
    return run_par<2, T>(points, c.min_points, c.block_target, nullptr).result;
}

template <class T>
Result<DelaunayOutput<4>> delaunay4d_par(const PointView<T>& points, const ParConfig& c) {
    return run_par<3, T>(points, c.min_points, c.block_target, nullptr).result;
}

template <class T>
ParOutput<3> delaunay2d_par_with_progress(const PointView<T>& points, const ParConfig& c,
                                          const ProgressSink& progress) {
    return run_par<2, T>(points, c.min_points, c.block_target, &progress);
}

template <class T>
ParOutput<4> delaunay4d_par_with_progress(const PointView<T>& points, const ParConfig& c,
                                          const ProgressSink& progress) {
    return run_par<3, T>(points, c.min_points, c.block_target, &progress);
}

template ParOutput<3> run_par<2, double>(const PointView<double>&, std::uint64_t, std::uint64_t,
                                         const ProgressSink*);
template ParOutput<3> run_par<2, float>(const PointView<float>&, std::uint64_t, std::uint64_t,
                                        const ProgressSink*);
template ParOutput<4> run_par<3, double>(const PointView<double>&, std::uint64_t, std::uint64_t,
                                         const ProgressSink*);
template ParOutput<4> run_par<3, float>(const PointView<float>&, std::uint64_t, std::uint64_t,
                                        const ProgressSink*);
template Result<DelaunayOutput<3>> delaunay2d_par<double>(const PointView<double>&,
                                                         const ParConfig&);
template Result<DelaunayOutput<3>> delaunay2d_par<float>(const PointView<float>&, const ParConfig&);
template Result<DelaunayOutput<4>> delaunay4d_par<double>(const PointView<double>&,
                                                         const ParConfig&);
template Result<DelaunayOutput<4>> delaunay4d_par<float>(const PointView<float>&, const ParConfig&);
template ParOutput<3> delaunay2d_par_with_progress<double>(const PointView<double>&,
                                                           const ParConfig&, const ProgressSink&);
template ParOutput<3> delaunay2d_par_with_progress<float>(const PointView<float>&, const ParConfig&,
                                                          const ProgressSink&);
template ParOutput<4> delaunay4d_par_with_progress<double>(const PointView<double>&,
                                                           const ParConfig&, const ProgressSink&);
template ParOutput<4> delaunay4d_par_with_progress<float>(const PointView<float>&, const ParConfig&,
                                                          const ProgressSink&);

}  // namespace kavro::par
