// The parallel driver end to end: which path each kind of input takes, the events of every
// path, and results that do not depend on the pool's thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"
#include "parallel/grid.h"
#include "parallel/mod.h"
#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace {

namespace par = kavro::par;
using Kind = par::ParProgress::Kind;

// Records every event and fails on two calls at once.
struct Recorder {
    std::mutex busy;
    std::vector<par::ParProgress> events;
    par::ProgressSink sink() {
        return [this](par::ParProgress e) {
            std::unique_lock<std::mutex> lock(busy, std::try_to_lock);
            ASSERT_TRUE(lock.owns_lock()) << "two sink calls overlap";
            events.push_back(e);
        };
    }
    std::vector<Kind> kinds() const {
        std::vector<Kind> k;
        for (const auto& e : events) {
            if (e.kind != Kind::BlockDone) k.push_back(e.kind);
        }
        return k;
    }
};

enum class Path { sequential, crust_gave_up, merge_gave_up, pipeline };  // what events show

// The path the events describe; fails the test when they describe none.
Path path_of(const Recorder& r) {
    const auto& ev = r.events;
    EXPECT_FALSE(ev.empty());
    if (ev.empty()) return Path::sequential;
    if (ev.front().kind == Kind::Fallback) {
        EXPECT_EQ(r.kinds(), (std::vector<Kind>{Kind::Fallback, Kind::Done}));
        return Path::sequential;
    }
    const std::uint64_t total = ev.front().total;
    EXPECT_EQ(ev.front().kind, Kind::BlocksStarted);
    EXPECT_GE(total, 2u);
    for (std::uint64_t d = 1; d <= total && d < ev.size(); ++d) {
        EXPECT_EQ(ev[d].kind, Kind::BlockDone);
        EXPECT_EQ(ev[d].done, d);
        EXPECT_EQ(ev[d].total, total);
    }
    const std::vector<Kind> k = r.kinds();
    using V = std::vector<Kind>;
    if (k == V{Kind::BlocksStarted, Kind::Crust, Kind::Fallback, Kind::Done}) {
        EXPECT_EQ(ev.size(), total + 4);
        return Path::crust_gave_up;
    }
    if (k == V{Kind::BlocksStarted, Kind::Crust, Kind::Merge, Kind::Fallback, Kind::Done}) {
        EXPECT_EQ(ev.size(), total + 5);
        return Path::merge_gave_up;
    }
    EXPECT_EQ(k, (V{Kind::BlocksStarted, Kind::Crust, Kind::Merge, Kind::Done}));
    EXPECT_EQ(ev.size(), total + 4);
    return Path::pipeline;
}

template <std::size_t K>
void expect_same(const kavro::Result<kavro::DelaunayOutput<K>>& a,
                 const kavro::Result<kavro::DelaunayOutput<K>>& b) {
    ASSERT_EQ(a.ok(), b.ok());
    if (!a.ok()) {
        EXPECT_EQ(a.error().message(), b.error().message());
        return;
    }
    EXPECT_EQ(a.value().simplices, b.value().simplices);
    EXPECT_EQ(a.value().neighbors, b.value().neighbors);
    EXPECT_EQ(a.value().duplicates, b.value().duplicates);
}

std::vector<double> uniform(std::size_t n, std::size_t d, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> v(n * d);
    for (double& x : v) x = u(rng);
    return v;
}

std::vector<double> integer_grid(int k) {
    std::vector<double> v;
    for (int x = 0; x < k; ++x) {
        for (int y = 0; y < k; ++y) v.insert(v.end(), {double(x), double(y)});
    }
    return v;
}

template <std::size_t D>
struct ParRun {
    Recorder rec;
    kavro::Result<kavro::DelaunayOutput<D + 1>> result;
    Path path;
    ParRun(const std::vector<double>& xs, std::uint64_t min_points, std::uint64_t target)
        : result(run(xs, min_points, target)), path(path_of(rec)) {}

    kavro::Result<kavro::DelaunayOutput<D + 1>> run(const std::vector<double>& xs,
                                                    std::uint64_t min_points, std::uint64_t target) {
        const auto sink = rec.sink();
        const auto view = kavro::PointView<double>::dense(xs.data(), xs.size() / D, D);
        return std::move(par::run_par<D>(view, min_points, target, &sink).result);
    }
    auto sequential(const std::vector<double>& xs) const {
        const auto view = kavro::PointView<double>::dense(xs.data(), xs.size() / D, D);
        if constexpr (D == 2) {
            return kavro::delaunay2d(view);
        } else {
            return kavro::delaunay4d(view);
        }
    }
};

TEST(Pipeline, EveryPathSendsItsEventsAndFallbacksReturnTheSequentialResult) {
    const std::vector<double> u2 = uniform(4000, 2, 1), u3 = uniform(3000, 3, 2);
    {
        ParRun<2> r(u2, 4001, 500);  // below the minimum: no grid
        EXPECT_EQ(r.path, Path::sequential);
        expect_same(r.result, r.sequential(u2));
    }
    {
        ParRun<2> r(u2, 0, 2001);  // fewer distinct points than two blocks
        EXPECT_EQ(r.path, Path::sequential);
        expect_same(r.result, r.sequential(u2));
    }
    {
        ParRun<2> r(std::vector<double>(12, 0.5), 0, 1);  // one point: the kernel's error
        EXPECT_EQ(r.path, Path::sequential);
        ASSERT_FALSE(r.result.ok());
        EXPECT_EQ(r.result.error().message(), "not enough distinct points (got 1)");
    }
    {
        const std::vector<double> g = integer_grid(20);  // crust balls through grid points
        ParRun<2> r(g, 0, 20);
        EXPECT_EQ(r.path, Path::crust_gave_up);
        expect_same(r.result, r.sequential(g));
    }
    for (const auto& [xs, target] : {std::pair(u2, 500u), std::pair(u2, 1300u)}) {
        ParRun<2> r(xs, 0, target);
        EXPECT_EQ(r.path, Path::pipeline);
        ASSERT_TRUE(r.result.ok());
        EXPECT_EQ(r.result.value().simplices.size(), r.sequential(xs).value().simplices.size());
    }
    {
        ParRun<3> r(u3, 0, 600);
        EXPECT_EQ(r.path, Path::pipeline);
        ASSERT_TRUE(r.result.ok());
        EXPECT_EQ(r.result.value().simplices.size(), r.sequential(u3).value().simplices.size());
    }
}

// Past the point limit no grid is built: the kernel's refusal is the result. A zero row
// stride: the count needs no memory.
TEST(Pipeline, TooManyPointsGoToTheKernelsRefusal) {
    const double row[3] = {0.5, 0.25, 0.125};
    const std::string refusal =
        "degenerate input: too many points (2147483649), maximum is 2147483648";
    Recorder r2, r3;
    const par::ProgressSink s2 = r2.sink(), s3 = r3.sink();
    const auto a = par::run_par<2>(kavro::PointView<double>{row, 2147483649ull, 2, 0, 1}, 0, 1, &s2);
    const auto b = par::run_par<3>(kavro::PointView<double>{row, 2147483649ull, 3, 0, 1}, 0, 1, &s3);
    EXPECT_EQ(path_of(r2), Path::sequential);
    EXPECT_EQ(path_of(r3), Path::sequential);
    ASSERT_FALSE(a.result.ok() || b.result.ok());
    EXPECT_EQ(a.result.error().message(), refusal);
    EXPECT_EQ(b.result.error().message(), refusal);
}

// The merge's seam test judges by KernelOps::inball_exact: one that calls every point
// cocircular once the merge has started makes the merge give up, after its event.
std::atomic<bool> merging{false};
double cocircular_once_merging(const par::Simplex<2>& s, const par::Point<2>& p) {
    return merging.load() ? 0.0 : par::kKernelOps2.inball_exact(s, p);
}

TEST(Pipeline, AMergeThatGivesUpSendsMergeLast) {
    const std::vector<double> u2 = uniform(4000, 2, 6);
    const auto view = kavro::PointView<double>::dense(u2.data(), 4000, 2);
    const auto grid = par::build_grid<2>(view, 500);
    par::KernelOps<2> ops = par::kKernelOps2;
    ops.inball_exact = cocircular_once_merging;
    Recorder rec;
    const auto record = rec.sink();
    const par::ProgressSink sink = [&](par::ParProgress e) {
        if (e.kind == Kind::Merge) merging = true;
        record(e);
    };
    const auto out = par::triangulate_par<2>(grid, ops, &sink);
    merging = false;
    ASSERT_FALSE(out.ok());
    EXPECT_STREQ(out.error().text, "cross-source adjacency is not strictly Delaunay");
    ASSERT_EQ(rec.events.size(), grid.blocks.size() + 3);
    EXPECT_EQ(rec.kinds(), (std::vector<Kind>{Kind::BlocksStarted, Kind::Crust, Kind::Merge}));
}

TEST(Pipeline, DuplicateRowsComeFromTheGridOnSuccess) {
    std::vector<double> xs = uniform(3000, 2, 3);
    for (std::size_t i = 0; i < 40; ++i) {  // row 3000 + i repeats row 7 i
        xs.push_back(xs[2 * (7 * i)]);
        xs.push_back(xs[2 * (7 * i) + 1]);
    }
    ParRun<2> r(xs, 0, 400);
    ASSERT_EQ(r.path, Path::pipeline);
    auto dup = r.result.value().duplicates;
    ASSERT_EQ(dup.size(), 40u);
    std::sort(dup.begin(), dup.end());
    for (std::uint32_t i = 0; i < 40; ++i) EXPECT_EQ(dup[i], (std::array<std::uint32_t, 2>{3000 + i, 7 * i}));
}

template <std::size_t D>
kavro::Result<kavro::DelaunayOutput<D + 1>> quiet_run(const std::vector<double>& xs, std::uint64_t target) {
    const auto view = kavro::PointView<double>::dense(xs.data(), xs.size() / D, D);
    return std::move(par::run_par<D>(view, 0, target, nullptr).result);
}

TEST(Pipeline, ResultsDoNotDependOnTheThreadCount) {
    // 1 thread cuts the merge into 4 windows, 64 threads into 256.
    const std::vector<double> u2 = uniform(6000, 2, 4), u3 = uniform(4000, 3, 5);
    const auto want2 = quiet_run<2>(u2, 300);
    const auto want3 = quiet_run<3>(u3, 300);
    ASSERT_TRUE(want2.ok() && want3.ok());
    for (const std::size_t threads : {1, 2, 8, 64}) {
        SCOPED_TRACE(threads);
        par::with_pool_threads(threads, [&] {
            expect_same(quiet_run<2>(u2, 300), want2);
            expect_same(quiet_run<3>(u3, 300), want3);
        });
    }
}

// Runs f(); aborts the test binary when f has not returned within `limit`, so that a stalled
// build fails the run instead of hanging it.
template <class F>
void within(std::chrono::seconds limit, F&& f) {
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, limit, [&] { return finished; })) {
            std::fprintf(stderr, "stalled: no return within %lld s\n",
                         static_cast<long long>(limit.count()));
            std::abort();
        }
    });
    f();
    {
        const std::lock_guard<std::mutex> lock(m);
        finished = true;
    }
    cv.notify_one();
    watchdog.join();
}

// Builds `outer` `reps` times with a sink that, on every BlockDone, builds `inner` in
// parallel, every other time with a sink of its own: what a Python callable may do on the
// worker that reports the block, while that worker holds the block counter.
template <std::size_t D>
void build_from_the_sink(const std::vector<double>& outer, const std::vector<double>& inner,
                         int reps) {
    const auto want = quiet_run<D>(inner, 100);
    ASSERT_TRUE(want.ok());
    for (int r = 0; r < reps; ++r) {
        Recorder rec;
        const auto record = rec.sink();
        std::atomic<int> wrong{0};
        const par::ProgressSink sink = [&](par::ParProgress e) {
            record(e);
            if (e.kind != Kind::BlockDone) return;
            Recorder nested;
            const auto nested_sink = nested.sink();
            const auto view = kavro::PointView<double>::dense(inner.data(), inner.size() / D, D);
            const auto got = par::run_par<D>(view, 0, 100, e.done % 2 ? &nested_sink : nullptr).result;
            if (!got.ok() || got.value().simplices != want.value().simplices) wrong.fetch_add(1);
        };
        const auto view = kavro::PointView<double>::dense(outer.data(), outer.size() / D, D);
        EXPECT_TRUE(par::run_par<D>(view, 0, 100, &sink).result.ok());
        EXPECT_EQ(path_of(rec), Path::pipeline);
        EXPECT_EQ(wrong.load(), 0);
    }
}

TEST(Pipeline, ASinkThatBuildsInParallelDoesNotStallTheBuild) {
#ifdef KAVRO_POOL_PLAIN_THREADS
    // No stealing to provoke: one round shows the nested builds' accesses to the sanitizer.
    const int rounds = 1;
#else
    const int rounds = 4;
#endif
    within(std::chrono::seconds(120), [&] {
        build_from_the_sink<2>(uniform(3000, 2, 7), uniform(1000, 2, 8), 2 * rounds);
        build_from_the_sink<3>(uniform(2000, 3, 9), uniform(300, 3, 10), rounds);
    });
}

#ifndef KAVRO_POOL_PLAIN_THREADS
// Runs body() in a forked child: its exit status, or -1 when it has not ended within 30 s
// (it is then killed).
template <class Body>
int in_child(Body body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) std::_Exit(body());
    for (int waited = 0; waited < 3000; ++waited) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

std::size_t thread_count() {
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// What a build in a child must give: the parent's arrays by the path the child may take.
int child_builds_like(const std::vector<double>& xs, const kavro::Result<kavro::DelaunayOutput<3>>& want,
                      Path want_path) {
    ParRun<2> r(xs, 0, 500);
    if (r.path != want_path) return 2;
    if (!r.result.ok() || r.result.value().simplices != want.value().simplices ||
        r.result.value().neighbors != want.value().neighbors)
        return 3;
    return 0;
}

TEST(PoolFork, AChildForkedWhileNoStepRunsBuildsOnAPoolOfItsOwn) {
    const std::vector<double> u2 = uniform(6000, 2, 11);
    const ParRun<2> parent(u2, 0, 500);
    ASSERT_EQ(parent.path, Path::pipeline);
    EXPECT_EQ(in_child([&] {
                  const int built = child_builds_like(u2, parent.result, Path::pipeline);
                  if (built != 0) return built;
                  // oneTBB makes no threads in a child on its own: these are a new pool's.
                  return thread_count() >= par::pool_threads() ? 0 : 4;
              }),
              0);
    // The parent's pool, ended for the fork, starts again.
    EXPECT_EQ(child_builds_like(u2, parent.result, Path::pipeline), 0);
}

// A fork that finds the pool in a step of another thread, or used by another live thread,
// leaves the child (and its children) without it: oneTBB's locks and threads there are
// whatever the fork caught. Its parallel builds are sequential ones, with their events.
TEST(PoolFork, AChildOfABusyOrSharedPoolNeverTouchesIt) {
    const std::vector<double> u2 = uniform(6000, 2, 12);
    const auto sequential = ParRun<2>(u2, 0, 500).sequential(u2);
    const auto child_stays_off = [&] {
        if (par::pool_usable() || par::PoolLease().usable()) return 1;
        const int built = child_builds_like(u2, sequential, Path::sequential);
        if (built != 0) return built;
        return in_child([] { return par::pool_usable() ? 1 : 0; }) == 0 ? 0 : 5;
    };
    for (const bool stepping : {true, false}) {
        std::atomic<bool> inside{false}, stop{false};
        std::thread other([&] {
            const par::PoolLease lease;
            par::start_pool();
            par::for_each_index(par::pool_threads(), [&](std::size_t) {
                inside = true;
                while (stepping && !stop) std::this_thread::yield();
            });
            while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        while (!inside) std::this_thread::yield();
        EXPECT_EQ(in_child(child_stays_off), 0) << (stepping ? "in a step" : "idle");
        stop = true;
        other.join();
        EXPECT_TRUE(par::pool_usable());
    }
    const ParRun<2> after(u2, 0, 500);
    EXPECT_EQ(after.path, Path::pipeline);
}
#endif

}  // namespace
