// Parallel build: its entry points, its settings and its progress events.
//
// A parallel call builds a spatial grid of the distinct points, cuts it into blocks,
// triangulates the blocks on the process-wide pool, re-triangulates and verifies the seams
// (the crust) exactly, and merges the pieces with topological checks (parallel/pipeline.h).
// Whatever it cannot certify, and every input too small or too large for it, is built by
// the sequential kernel of the input's own coordinate type on the caller's points instead,
// so the result is then exactly what the same call with parallel=False returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "core/error.h"
#include "core/output.h"
#include "core/point_view.h"

namespace kavro::par {

// Settings of one parallel call, read from the environment on every call (never cached,
// so a change takes effect with the next call).
struct ParConfig {
    // Inputs with fewer rows (duplicates included) go to the sequential kernel, no grid.
    std::uint64_t min_points;
    // Target count of distinct points per block; 0 acts as 1 when blocks are cut.
    std::uint64_t block_target;

    static constexpr std::uint64_t kDefaultMinPoints = 100000;
    static constexpr std::uint64_t kDefaultBlockTarget2d = 150000;
    static constexpr std::uint64_t kDefaultBlockTarget3d = 125000;

    // KAVRO_PARALLEL_MIN_POINTS, then KAVRO_PARALLEL_BLOCK_TARGET; an unset, empty,
    // malformed or overflowing value silently gives the default.
    static ParConfig from_env(std::uint64_t default_block_target);
};

// An unsigned 64-bit decimal with an optional leading '+', nothing trimmed; any other
// character (a space, '-', '_', '.', a second sign, a non-ASCII byte) or a value above
// 2^64 - 1 gives nullopt. Leading zeros are allowed at any length.
std::optional<std::uint64_t> parse_setting(std::string_view text);

// One progress event of a parallel build, passed by value. Counts are blocks.
struct ParProgress {
    enum class Kind : std::uint8_t {
        BlocksStarted,  // total: the block phase is about to start
        BlockDone,      // done of total blocks have finished (this one included)
        Crust,          // all blocks finished; the crust phase starts
        Merge,          // the crust phase succeeded; the merge starts
        Fallback,       // the sequential kernel is about to run on the whole input
        Done,           // the build is finished, whatever its outcome
    };
    Kind kind;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};

// Receives every event of one build. It may be called from the calling thread and from
// pool workers, but the build never lets two calls overlap; it cannot change the build. It
// may run parallel builds of its own on the pool (a Python callable may).
using ProgressSink = std::function<void(ParProgress)>;

// The result of a parallel build as the progress forms return it.
template <std::size_t K>
struct ParOutput {
    Result<DelaunayOutput<K>> result;
};

// The driver of every parallel build (D = 2 or 3, T = double or float):
//   n < min_points or n > MAX_POINTS    the sequential kernel, no grid
//   a process that may not use the      the sequential kernel, no grid
//   pool (forked while it ran: PoolLease)
//   coordinates spanning more than the  the sequential kernel, no grid
//   plain predicates hold exactly
//   (PowerOfTwoScale::in_exact_range)
//   a grid of at most one block         the sequential kernel
//   the pipeline gives up               the sequential kernel
//   the pipeline succeeds               its rows and neighbours (see pipeline.h) and the
//                                       grid's duplicate rows [dropped, kept]: kept is the
//                                       group's lowest index, or its first in IEEE total
//                                       order where -0.0 and +0.0 mix
// Every sequential run is on the caller's points, with their own coordinate type; with a
// sink it is preceded by Fallback, and every call with a sink ends with Done. Without a
// sink nothing is sent. The points must have D columns (asserted). Starts the pool
// (start_pool) before its first parallel step, and throws what that throws.
template <std::size_t D, class T>
ParOutput<D + 1> run_par(const PointView<T>& points, std::uint64_t min_points,
                         std::uint64_t block_target, const ProgressSink* progress);

// The entry points: run_par with the given settings. The forms without settings read them
// from the environment first (ParConfig::from_env, block target default 150000 in 2D and
// 125000 in 3D). getenv is not safe against a concurrent setenv, so a caller whose other
// threads may change the environment (Python assigning os.environ) reads the settings
// itself while it excludes them, and passes them in.
template <class T>
Result<DelaunayOutput<3>> delaunay2d_par(const PointView<T>& points, const ParConfig& config);
template <class T>
Result<DelaunayOutput<4>> delaunay4d_par(const PointView<T>& points, const ParConfig& config);
template <class T>
ParOutput<3> delaunay2d_par_with_progress(const PointView<T>& points, const ParConfig& config,
                                          const ProgressSink& progress);
template <class T>
ParOutput<4> delaunay4d_par_with_progress(const PointView<T>& points, const ParConfig& config,
                                          const ProgressSink& progress);

template <class T>
Result<DelaunayOutput<3>> delaunay2d_par(const PointView<T>& points) {
    return delaunay2d_par(points, ParConfig::from_env(ParConfig::kDefaultBlockTarget2d));
}
template <class T>
Result<DelaunayOutput<4>> delaunay4d_par(const PointView<T>& points) {
    return delaunay4d_par(points, ParConfig::from_env(ParConfig::kDefaultBlockTarget3d));
}
template <class T>
ParOutput<3> delaunay2d_par_with_progress(const PointView<T>& points, const ProgressSink& progress) {
    return delaunay2d_par_with_progress(
        points, ParConfig::from_env(ParConfig::kDefaultBlockTarget2d), progress);
}
template <class T>
ParOutput<4> delaunay4d_par_with_progress(const PointView<T>& points, const ProgressSink& progress) {
    return delaunay4d_par_with_progress(
        points, ParConfig::from_env(ParConfig::kDefaultBlockTarget3d), progress);
}

}  // namespace kavro::par
