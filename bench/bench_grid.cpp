// Times build_grid on seeded uniform points with one thread and with the whole pool, and
// the sequential 2D kernel on the same 2D points in the same run: the grid is pure
// overhead of the parallel build, so its share of the kernel's time is what matters.
//
//   cmake -S . -B build/bench -G Ninja -DKAVRO_BUILD_PYTHON=OFF -DKAVRO_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/bench_grid [--quick]
//
// --quick runs 10^5 points only (a smoke run).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "d2/delaunay2d.h"
#include "parallel/grid.h"
#include "parallel/pool.h"

namespace {

template <class F>
double best_seconds(int repeat, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        best = std::min(best, dt.count());
    }
    return best;
}

template <std::size_t D>
void run(std::size_t n, int repeat) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> xs(n * D);
    for (double& v : xs) v = unit(rng);
    const auto view = kavro::PointView<double>::dense(xs.data(), n, D);
    const std::uint64_t target = D == 2 ? 150000 : 125000;
    const auto grid = [&] { return kavro::par::build_grid<D>(view, target); };

    const double one = kavro::par::with_pool_threads(1, [&] { return best_seconds(repeat, grid); });
    const double all = best_seconds(repeat, grid);
    std::printf("%dD %9zu points  grid 1 thread %7.3f s  %zu threads %7.3f s  speed-up %5.2f",
                static_cast<int>(D), n, one, kavro::par::pool_threads(), all, one / all);
    if constexpr (D == 2) {
        const double kernel = best_seconds(repeat, [&] { (void)kavro::delaunay2d(view); });
        std::printf("  2D kernel %7.3f s  grid/kernel %5.1f%%", kernel, 100.0 * all / kernel);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--quick") == 0) {
        run<2>(100'000, 1);
        run<3>(100'000, 1);
        return 0;
    }
    run<2>(1'000'000, 3);
    run<2>(10'000'000, 2);
    run<3>(1'000'000, 3);
}
