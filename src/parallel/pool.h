// The process-wide work-stealing pool of the parallel build, and the few shapes of work
// the pipeline hands it. Every step collects its results by index, so what a step
// returns never depends on the number of threads or on the order in which tasks finish.
//
// The pool is oneTBB's default arena: no thread exists until the first parallel step
// runs, and it is sized by the library's own setting (the hardware threads by default).
//
// Built with KAVRO_POOL_PLAIN_THREADS (the ThreadSanitizer build of the tests), the same
// contract runs on plain std::threads. The oneTBB runtime is not instrumented, so the
// sanitizer cannot see how it hands work between threads and would report races in the
// library's own inline code; plain threads let it check the tasks' own accesses.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/output.h"

#ifdef KAVRO_POOL_PLAIN_THREADS
#include <thread>
#else
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>
#endif

namespace kavro::par {

#ifdef KAVRO_POOL_PLAIN_THREADS
namespace detail {
inline thread_local std::size_t plain_threads = 0;  // 0: the hardware threads

inline std::size_t plain_thread_count() {
    if (plain_threads != 0) return plain_threads;
    const unsigned h = std::thread::hardware_concurrency();
    return h == 0 ? 1 : h;
}

// Runs body(lo, hi) on consecutive pieces of [0, n) at once, one thread per piece; the
// first exception a piece throws is rethrown here after all pieces have ended.
template <class Body>
void plain_split(std::size_t n, std::size_t pieces, Body&& body) {
    pieces = std::max<std::size_t>(1, std::min(pieces, n));
    std::vector<std::exception_ptr> errors(pieces);
    const auto run = [&](std::size_t p) {
        try {
            body(n * p / pieces, n * (p + 1) / pieces);
        } catch (...) {
            errors[p] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    const std::size_t inherited = plain_threads;
    for (std::size_t p = 1; p < pieces; ++p) {
        threads.emplace_back([&, p] {
            plain_threads = inherited;
            run(p);
        });
    }
    run(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}
}  // namespace detail
#endif

// Threads that take part in a parallel step (the calling thread included).
inline std::size_t pool_threads() {
#ifdef KAVRO_POOL_PLAIN_THREADS
    return detail::plain_thread_count();
#else
    return static_cast<std::size_t>(oneapi::tbb::this_task_arena::max_concurrency());
#endif
}

// A parallel call's hold on the pool, from before its pool start to its last parallel step.
// A fork ends the pool's threads when no lease is held anywhere in the process (oneTBB's
// finalize, in a fork handler), and the child and the parent then start fresh ones at their
// next start_pool(). When a lease is held at the fork (a parallel step may run on another
// thread), or oneTBB refuses to end its threads (another live thread has used the pool),
// oneTBB's locks and threads in the child are whatever the fork caught: no lease in that
// child, nor in its own children, is ever usable, and its parallel builds must not call
// into oneTBB at all. Leases nest; taking one never waits for a parallel step.
class PoolLease {
public:
    PoolLease() noexcept;
    ~PoolLease();
    PoolLease(const PoolLease&) = delete;
    PoolLease& operator=(const PoolLease&) = delete;

    // Whether this process may use the pool.
    bool usable() const noexcept { return usable_; }

private:
    bool usable_;
};

// Whether this process may use the pool (see PoolLease); one atomic load.
bool pool_usable() noexcept;

// Makes the pool's threads run, once per process (after that, one atomic load). The first
// parallel step would otherwise start them inside oneTBB, where a refused thread or a failed
// allocation cannot be reported: oneTBB then waits for ever on one of its own locks, ends
// the process from a worker that cannot start the next one, or throws once and never starts
// the missing workers afterwards. Before oneTBB is touched, this checks that the threads
// and some memory for them are available now, then runs a step that waits (briefly) until
// every worker takes part. Call it from a thread that holds no lock the pool's tasks need.
// Throws std::bad_alloc when memory is refused and std::system_error or std::runtime_error
// when a thread is; a later call tries again. Only with a usable PoolLease held, so that
// no fork ends the pool meanwhile.
void start_pool();

// Whether start_pool() has nothing left to do in this process; one atomic load.
bool pool_started() noexcept;

// Runs f() with every parallel step it starts limited to `threads` threads (at least 1).
// For tests and benchmarks that compare thread counts.
template <class F>
decltype(auto) with_pool_threads(std::size_t threads, F&& f) {
    threads = std::max<std::size_t>(threads, 1);
#ifdef KAVRO_POOL_PLAIN_THREADS
    struct Restore {
        std::size_t saved = detail::plain_threads;
        ~Restore() { detail::plain_threads = saved; }
    } restore;
    detail::plain_threads = threads;
    return std::forward<F>(f)();
#else
    oneapi::tbb::task_arena arena(static_cast<int>(threads));
    return arena.execute(std::forward<F>(f));
#endif
}

// Runs f() so that, while f waits for parallel steps of its own, the calling thread takes
// only tasks that f started (directly or through its tasks), never other work of the pool.
// For a thread that holds a lock while f may wait for the pool (f copies under the
// interpreter lock, or runs code that we do not control, such as a progress callable): a
// task of an enclosing step, taken up while f waits, may need the same lock, and would
// then wait for it on the thread that holds it.
// Where the pool is not usable, f() runs as it is: nothing waits for the pool there.
template <class F>
decltype(auto) isolated(F&& f) {
#ifdef KAVRO_POOL_PLAIN_THREADS
    // Every step runs on threads of its own that its caller only joins: a waiting thread
    // never runs anyone else's work.
    return std::forward<F>(f)();
#else
    if (!pool_usable()) return std::forward<F>(f)();
    return oneapi::tbb::this_task_arena::isolate(std::forward<F>(f));
#endif
}

// Calls f(i) for every i in [0, n), in parallel, in no particular order.
template <class F>
void for_each_index(std::size_t n, F&& f) {
#ifdef KAVRO_POOL_PLAIN_THREADS
    detail::plain_split(n, pool_threads(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) f(i);
    });
#else
    oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, n),
                              [&](const oneapi::tbb::blocked_range<std::size_t>& r) {
                                  for (std::size_t i = r.begin(); i != r.end(); ++i) f(i);
                              });
#endif
}

// [f(0), f(1), ..., f(n - 1)], computed in parallel and collected in index order.
template <class T, class F>
Buffer<T> map_indexed(std::size_t n, F&& f) {
    Buffer<T> out(n);
    T* slots = out.data();
    for_each_index(n, [&](std::size_t i) { slots[i] = f(i); });
    return out;
}

// Folds [0, n) in pieces, each started from `identity` with fold(acc, i), and combines
// the partial results with combine(a, b) (a from lower indices than b). The pieces are
// cut by a fixed grain, not by the threads, so an associative combine gives the same
// result for every thread count.
template <class T, class Fold, class Combine>
T fold_reduce(std::size_t n, const T& identity, Fold&& fold, Combine&& combine) {
    constexpr std::size_t grain = 4096;
#ifdef KAVRO_POOL_PLAIN_THREADS
    const std::size_t pieces = (n + grain - 1) / grain;
    std::vector<T> partial(pieces, identity);
    detail::plain_split(pieces, pool_threads(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t p = lo; p < hi; ++p) {
            for (std::size_t i = p * grain, e = std::min(n, i + grain); i < e; ++i) {
                fold(partial[p], i);
            }
        }
    });
    T acc = identity;
    for (const T& p : partial) acc = combine(acc, p);
    return acc;
#else
    return oneapi::tbb::parallel_deterministic_reduce(
        oneapi::tbb::blocked_range<std::size_t>(0, n, grain), identity,
        [&](const oneapi::tbb::blocked_range<std::size_t>& r, T acc) {
            for (std::size_t i = r.begin(); i != r.end(); ++i) fold(acc, i);
            return acc;
        },
        [&](const T& a, const T& b) { return combine(a, b); },
        oneapi::tbb::simple_partitioner());
#endif
}

// Calls f(i) -> std::optional<E> for the indices of [0, n) in parallel and stops starting
// new ones once a call has returned a failure. Returns that failure (when several tasks
// fail, one of them), or nullopt when every call succeeded.
template <class E, class F>
std::optional<E> try_for_each(std::size_t n, F&& f) {
    std::atomic<bool> failed{false};
    std::optional<E> first;  // written once, by the task that set `failed`
    const auto attempt = [&](std::size_t i) {
        if (failed.load(std::memory_order_relaxed)) return false;
        std::optional<E> r = f(i);
        if (!r) return true;
        bool expected = false;
        if (failed.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            first = std::move(r);
        }
        return false;
    };
#ifdef KAVRO_POOL_PLAIN_THREADS
    detail::plain_split(n, pool_threads(), [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi && attempt(i); ++i) {
        }
    });
#else
    oneapi::tbb::task_group_context ctx;
    oneapi::tbb::parallel_for(
        oneapi::tbb::blocked_range<std::size_t>(0, n),
        [&](const oneapi::tbb::blocked_range<std::size_t>& r) {
            for (std::size_t i = r.begin(); i != r.end(); ++i) {
                if (!attempt(i)) {
                    ctx.cancel_group_execution();
                    return;
                }
            }
        },
        ctx);
#endif
    return first;
}

// Sorts [first, last) in parallel by `less`; equal elements end in no particular order.
template <class It, class Less>
void sort_unstable(It first, It last, Less less) {
#ifdef KAVRO_POOL_PLAIN_THREADS
    const std::size_t n = static_cast<std::size_t>(last - first);
    const std::size_t pieces = std::max<std::size_t>(1, std::min(pool_threads(), n / 1024));
    detail::plain_split(n, pieces, [&](std::size_t lo, std::size_t hi) {
        std::sort(first + lo, first + hi, less);
    });
    for (std::size_t p = 1; p < pieces; ++p) {
        std::inplace_merge(first, first + n * p / pieces, first + n * (p + 1) / pieces, less);
    }
#else
    oneapi::tbb::parallel_sort(first, last, less);
#endif
}

template <class It>
void sort_unstable(It first, It last) {
    sort_unstable(first, last, std::less<>());
}

}  // namespace kavro::par
