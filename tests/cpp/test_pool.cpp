// The pool's shapes of work: results by index whatever the thread count, early stop,
// exceptions crossing back to the caller.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <cstdint>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/pool.h"

namespace par = kavro::par;

namespace {

const std::size_t kThreadCounts[] = {1, 2, 8};

TEST(Pool, ThreadCountFollowsTheLimit) {
    EXPECT_GE(par::pool_threads(), 1u);
    EXPECT_EQ(par::with_pool_threads(1, [] { return par::pool_threads(); }), 1u);
    EXPECT_EQ(par::with_pool_threads(0, [] { return par::pool_threads(); }), 1u);
    EXPECT_EQ(par::with_pool_threads(3, [] { return par::pool_threads(); }), 3u);
}

TEST(Pool, MapAndFoldDoNotDependOnTheThreadCount) {
    const std::size_t n = 100'003;
    std::vector<std::uint64_t> want(n);
    for (std::size_t i = 0; i < n; ++i) want[i] = i * i % 7919;
    // A non-associative fold (float sums): equal results need equal cuts.
    const auto sum = [&] {
        return par::fold_reduce(
            n, 0.0, [](double& acc, std::size_t i) { acc += 1.0 / static_cast<double>(i + 1); },
            [](double a, double b) { return a + b; });
    };
    const double reference = par::with_pool_threads(1, sum);
    for (const std::size_t t : kThreadCounts) {
        par::with_pool_threads(t, [&] {
            const auto got = par::map_indexed<std::uint64_t>(
                n, [](std::size_t i) { return std::uint64_t{i * i % 7919}; });
            EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end()));
            EXPECT_EQ(sum(), reference) << t << " threads";
        });
    }
    EXPECT_TRUE(par::map_indexed<int>(0, [](std::size_t) { return 1; }).empty());
    EXPECT_EQ(par::fold_reduce(0, 5, [](int&, std::size_t) {}, [](int a, int b) { return a + b; }),
              5);
}

TEST(Pool, TryForEachStopsAtAFailure) {
    for (const std::size_t t : kThreadCounts) {
        par::with_pool_threads(t, [&] {
            const std::size_t n = 1'000'000;
            std::atomic<std::size_t> ran{0};
            const std::optional<std::string> r =
                par::try_for_each<std::string>(n, [&](std::size_t i) -> std::optional<std::string> {
                    ran.fetch_add(1, std::memory_order_relaxed);
                    if (i % 1000 == 17) return "failed at " + std::to_string(i);
                    return std::nullopt;
                });
            ASSERT_TRUE(r.has_value());
            EXPECT_EQ(r->rfind("failed at ", 0), 0u);
            EXPECT_EQ(std::stoul(r->substr(10)) % 1000, 17u);
            EXPECT_LT(ran.load(), n) << t << " threads";

            std::atomic<std::size_t> all{0};
            EXPECT_FALSE(par::try_for_each<int>(n, [&](std::size_t) -> std::optional<int> {
                all.fetch_add(1, std::memory_order_relaxed);
                return std::nullopt;
            }));
            EXPECT_EQ(all.load(), n);
        });
    }
}

TEST(Pool, ExceptionsReachTheCaller) {
    par::with_pool_threads(4, [] {
        EXPECT_THROW(par::for_each_index(10'000,
                                         [](std::size_t i) {
                                             if (i == 7777) throw std::bad_alloc();
                                         }),
                     std::bad_alloc);
    });
}

// Set while a task of the outer step below runs on this thread.
thread_local bool in_outer_task = false;

TEST(Pool, AnIsolatedWaitTakesUpNoOtherTask) {
    // Each outer task holds "a lock" (the flag) across a parallel step of its own, as a
    // finished block holds the counter while its sink runs a build. Isolated, the waiting
    // thread runs only that step's tasks, so no outer task ever starts under the flag.
    std::atomic<int> started_under_flag{0};
    par::with_pool_threads(8, [&] {
        par::for_each_index(512, [&](std::size_t) {
            if (in_outer_task) started_under_flag.fetch_add(1);
            in_outer_task = true;
            par::isolated([] {
                par::for_each_index(64, [](std::size_t i) {
                    volatile std::uint64_t x = i;
                    for (int k = 0; k < 4000; ++k) x = x * 6364136223846793005u + 1;
                });
            });
            in_outer_task = false;
        });
    });
    EXPECT_EQ(started_under_flag.load(), 0);
    EXPECT_EQ(par::isolated([] { return 7; }), 7);
}

TEST(Pool, SortsByNaturalOrderAndComparator) {
    std::mt19937_64 rng(7);
    std::vector<std::uint32_t> v(300'000);
    for (auto& x : v) x = static_cast<std::uint32_t>(rng() % 5000);
    std::vector<std::uint32_t> want = v;
    std::sort(want.begin(), want.end());
    for (const std::size_t t : kThreadCounts) {
        par::with_pool_threads(t, [&] {
            std::vector<std::uint32_t> a = v;
            par::sort_unstable(a.begin(), a.end());
            EXPECT_EQ(a, want);
            par::sort_unstable(a.begin(), a.end(), std::greater<>());
            EXPECT_TRUE(std::is_sorted(a.rbegin(), a.rend()));
        });
    }
}

}  // namespace
