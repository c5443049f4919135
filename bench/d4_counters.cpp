// Work counters of the sequential 3D kernel on seeded uniform points, to see where the
// time goes without a profiler. The counters exist only under KAVRO_D4_COUNTERS, so this
// is built by hand, outside CMake, from the repository root:
//
//   g++ -std=c++20 -O3 -ffp-contract=off -DKAVRO_D4_COUNTERS -Isrc src/core/error.cpp src/core/predicates.cpp src/d4/delaunay4d.cpp bench/d4_counters.cpp -o /tmp/d4c
//
// then `/tmp/d4c` (default sizes 1e4 1e5 1e6) or `/tmp/d4c 200000 ...`. The counter
// calls add to the timings, so time the Python module (bench/bench_3d.py) for speed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "d4/delaunay4d.h"
#include "d4/hull4d.h"

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes{10'000, 100'000, 1'000'000};
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    std::printf("%9s %12s %12s %12s %12s %12s %9s %9s\n", "points", "hint_misses", "full_scans",
                "exact_tests", "walk_steps", "tight_bounds", "tets", "seconds");
    for (std::size_t n : sizes) {
        // mt19937_64 with a fixed seed: the same points on every platform and run
        std::mt19937_64 gen(12345);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::vector<double> xyz(3 * n);
        for (double& v : xyz) v = unit(gen);

        kavro::d4::counters = {};
        auto t0 = std::chrono::steady_clock::now();
        auto result = kavro::delaunay4d(kavro::PointView<double>::dense(xyz.data(), n, 3));
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!result.ok()) {
            std::printf("%9zu build failed\n", n);
            return 1;
        }
        const auto& c = kavro::d4::counters;
        std::printf("%9zu %12llu %12llu %12llu %12llu %12llu %9zu %9.3f\n", n,
                    static_cast<unsigned long long>(c.hint_misses),
                    static_cast<unsigned long long>(c.full_scans),
                    static_cast<unsigned long long>(c.exact_tests),
                    static_cast<unsigned long long>(c.walk_steps),
                    static_cast<unsigned long long>(c.tight_bounds), result.value().simplices.size(),
                    seconds);
    }
}
