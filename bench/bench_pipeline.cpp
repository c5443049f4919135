// The parallel pipeline's insides on seeded uniform points: for 1, 2, 4 and all pool
// threads, the wall time of the grid and of each phase, the block count, the crust size
// in % of the distinct points and whether the pipeline finished, beside the sequential
// kernel on the same points. bench/bench_par.py times the whole calls from Python.
//
//   cmake -S . -B build/bench -G Ninja -DKAVRO_BUILD_PYTHON=OFF -DKAVRO_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/bench_pipeline [--quick | D N [N ...]]
//
// --quick: 2D and 3D at 2·10^5 points with a block target of 20000 (a smoke run).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"
#include "parallel/grid.h"
#include "parallel/mod.h"
#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

template <std::size_t D>
void run(std::size_t n, std::uint64_t target) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> xs(n * D);
    for (double& v : xs) v = unit(rng);
    const auto view = kavro::PointView<double>::dense(xs.data(), n, D);

    auto t0 = Clock::now();
    if constexpr (D == 2) {
        (void)kavro::delaunay2d(view);
    } else {
        (void)kavro::delaunay4d(view);
    }
    const double sequential = since(t0);
    std::printf("%dD %9zu points, block target %llu: sequential kernel %.3f s\n",
                static_cast<int>(D), n, static_cast<unsigned long long>(target), sequential);
    std::printf("  %7s %8s %8s %8s %8s %8s %8s %7s %7s %8s\n", "threads", "grid s", "blocks s",
                "crust s", "merge s", "total s", "speedup", "blocks", "crust%", "path");

    const std::size_t all = kavro::par::pool_threads();
    std::vector<std::size_t> counts{1, 2, 4, all};
    counts.erase(std::remove_if(counts.begin(), counts.end(), [all](std::size_t k) { return k > all; }),
                 counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    for (const std::size_t threads : counts) {
        kavro::par::with_pool_threads(threads, [&] {
            t0 = Clock::now();
            const auto grid = kavro::par::build_grid<D>(view, target);
            const double grid_s = since(t0);
            kavro::par::PipelineStats st;
            bool finished = false;
            if (grid.blocks.size() > 1) {
                finished = kavro::par::triangulate_par<D>(grid, kavro::par::kernel_ops<D>(),
                                                          nullptr, &st).ok();
            }
            const double total = grid_s + st.block_seconds + st.crust_seconds + st.merge_seconds;
            std::printf("  %7zu %8.3f %8.3f %8.3f %8.3f %8.3f %8.2f %7zu %7.2f %8s\n", threads,
                        grid_s, st.block_seconds, st.crust_seconds, st.merge_seconds, total,
                        sequential / total, grid.blocks.size(),
                        100.0 * static_cast<double>(st.crust_points) /
                            static_cast<double>(std::max<std::size_t>(grid.points.size(), 1)),
                        grid.blocks.size() <= 1 ? "1 block" : finished ? "pipeline" : "gave up");
        });
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--quick") == 0) {
        run<2>(200'000, 20'000);
        run<3>(200'000, 20'000);
        return 0;
    }
    if (argc > 2) {
        const int d = std::atoi(argv[1]);
        for (int i = 2; i < argc; ++i) {
            const std::size_t n = std::strtoull(argv[i], nullptr, 10);
            if (d == 2) run<2>(n, kavro::par::ParConfig::kDefaultBlockTarget2d);
            else run<3>(n, kavro::par::ParConfig::kDefaultBlockTarget3d);
        }
        return 0;
    }
    for (std::size_t n : {1'000'000, 4'000'000, 10'000'000}) {
        run<2>(n, kavro::par::ParConfig::kDefaultBlockTarget2d);
    }
    for (std::size_t n : {1'000'000, 4'000'000}) run<3>(n, kavro::par::ParConfig::kDefaultBlockTarget3d);
}
