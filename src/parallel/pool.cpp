#include "parallel/pool.h"

#include <pthread.h>

#include <mutex>

#ifndef KAVRO_POOL_PLAIN_THREADS
#include <sys/mman.h>

#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include <oneapi/tbb/global_control.h>
#endif

namespace kavro::par {

namespace {

// Whether this process may use the pool; cleared for good in a child whose fork found the
// pool's threads running.
std::atomic<bool> process_usable{true};

// What a fork needs to know of the pool. Its mutex is held for a few instructions at a time,
// and across a fork by the fork handlers; never while waiting for a parallel step or for
// the interpreter lock, so a fork never waits for a build.
struct ForkState {
    std::mutex control;
    std::size_t leases = 0;       // held in the process
    bool child_usable = true;     // decided by the prepare handler for the child
#ifndef KAVRO_POOL_PLAIN_THREADS
    bool threads_live = false;    // oneTBB may have threads: started, not ended since
    oneapi::tbb::task_scheduler_handle handle;  // what lets a fork end oneTBB's threads
#endif
};

// Never destroyed, and made when the library is loaded rather than on first use: a fork
// may come at any moment, and a first use interrupted by one would leave the child a
// half-made object or a held initialisation guard.
ForkState& fork_state = *new ForkState;

thread_local std::size_t leases_here = 0;  // this thread's share of fork_state.leases

#ifndef KAVRO_POOL_PLAIN_THREADS
std::atomic<bool> started{false};
#endif

void before_fork() noexcept {
    ForkState& s = fork_state;
    s.control.lock();
    s.child_usable = process_usable.load(std::memory_order_relaxed) && s.leases == 0;
#ifndef KAVRO_POOL_PLAIN_THREADS
    if (!s.child_usable || !s.threads_live) return;
    // No parallel step runs: oneTBB's threads can be ended, so that the child (which gets
    // none of them) and the parent both start fresh ones. oneTBB refuses while another live
    // thread has used it, and then nothing of it can be trusted in the child.
    if (s.handle && oneapi::tbb::finalize(s.handle, std::nothrow)) {
        s.threads_live = false;
    } else {
        s.child_usable = false;
    }
    // Either way the handle is gone: the next start attaches another.
    started.store(false, std::memory_order_relaxed);
#else
    // Plain threads are made by each step and joined by it: a child has none to miss.
    s.child_usable = process_usable.load(std::memory_order_relaxed);
#endif
}

void after_fork_in_parent() noexcept { fork_state.control.unlock(); }

void after_fork_in_child() noexcept {
    ForkState& s = fork_state;
    process_usable.store(s.child_usable, std::memory_order_relaxed);
    // Only the thread that forked is here; its leases end as its calls return.
    s.leases = leases_here;
    s.control.unlock();
}

[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

PoolLease::PoolLease() noexcept {
    const std::lock_guard<std::mutex> lock(fork_state.control);
    ++fork_state.leases;
    ++leases_here;
    usable_ = process_usable.load(std::memory_order_relaxed);
}

PoolLease::~PoolLease() {
    const std::lock_guard<std::mutex> lock(fork_state.control);
    --fork_state.leases;
    --leases_here;
}

bool pool_usable() noexcept { return process_usable.load(std::memory_order_relaxed); }

#ifdef KAVRO_POOL_PLAIN_THREADS

// Each step makes its own threads and a refused one fails that step on the calling thread.
void start_pool() {}

bool pool_started() noexcept { return true; }

#else

namespace {

// Memory kept free beside the workers' stacks while the threads are rehearsed, for
// oneTBB's scheduler (an allocation that fails while it is set up leaves it spinning on its
// own lock) and each thread's first allocations (when one of those fails, the process
// ends). On 8 cores the start failed that way with less than about 5 MB to spare.
std::size_t start_margin(std::size_t workers) { return (std::size_t{16} + workers) << 20; }

// How long the first step waits for the workers to join it; oneTBB starts them within
// a millisecond or so on an idle machine.
constexpr std::chrono::milliseconds kJoinWait{200};

std::mutex starting;

// Holds `workers` threads with the stack size of oneTBB's workers alive at once, together
// with start_margin() bytes of memory, then lets them all go. The C library keeps the freed
// stacks for the next threads of that size, which are oneTBB's.
void rehearse(std::size_t workers, std::size_t stack) {
    pthread_attr_t attr;
    if (const int e = pthread_attr_init(&attr)) throw std::system_error(e, std::generic_category());
    struct Attr {
        pthread_attr_t* a;
        ~Attr() { pthread_attr_destroy(a); }
    } destroy_attr{&attr};
    if (stack != 0) pthread_attr_setstacksize(&attr, stack);

    std::vector<pthread_t> threads;
    threads.reserve(workers);
    std::mutex gate;
    int refused = 0;
    const std::size_t margin_bytes = start_margin(workers);
    void* margin = MAP_FAILED;
    {
        std::unique_lock<std::mutex> closed(gate);
        const auto wait_at_gate = [](void* g) -> void* {
            std::lock_guard<std::mutex> pass(*static_cast<std::mutex*>(g));
            return nullptr;
        };
        for (std::size_t i = 0; i < workers && refused == 0; ++i) {
            pthread_t t;
            refused = pthread_create(&t, &attr, wait_at_gate, &gate);
            if (refused == 0) threads.push_back(t);
        }
        // Written to by nothing: reserved address space and commit charge are what the
        // limits count.
        if (refused == 0) {
            margin = mmap(nullptr, margin_bytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        }
    }
    for (pthread_t t : threads) pthread_join(t, nullptr);
    if (refused != 0) {
        throw std::system_error(refused, std::generic_category(), "pthread_create has failed");
    }
    if (margin == MAP_FAILED) throw std::bad_alloc();
    munmap(margin, margin_bytes);
}

// One task per thread of the pool, each waiting until all of them run at once (or the
// wait is over): oneTBB starts its workers when work appears, the later ones from workers
// that already run, and this lets every one of them start now.
void gather_workers(std::size_t threads) {
    std::atomic<std::size_t> arrived{0};
    const auto give_up = std::chrono::steady_clock::now() + kJoinWait;
    oneapi::tbb::parallel_for(
        oneapi::tbb::blocked_range<std::size_t>(0, threads, 1),
        [&](const oneapi::tbb::blocked_range<std::size_t>&) {
            // The first exception thrown on a thread makes the C++ runtime allocate that
            // thread's exception state, and the C library ends the process when it cannot.
            // Allocated here while memory is known to be there, a later std::bad_alloc on
            // this thread reaches the caller.
            try {
                throw 0;
            } catch (int) {
            }
            arrived.fetch_add(1, std::memory_order_relaxed);
            while (arrived.load(std::memory_order_relaxed) < threads &&
                   std::chrono::steady_clock::now() < give_up) {
                std::this_thread::yield();
            }
        },
        oneapi::tbb::simple_partitioner());
}

}  // namespace

bool pool_started() noexcept { return started.load(std::memory_order_acquire); }

void start_pool() {
    if (pool_started()) return;
    const std::lock_guard<std::mutex> one_at_a_time(starting);
    if (started.load(std::memory_order_relaxed)) return;
    const std::size_t threads = pool_threads();
    rehearse(threads - 1, oneapi::tbb::global_control::active_value(
                              oneapi::tbb::global_control::thread_stack_size));
    {
        // The lease held by the caller keeps the fork handlers away from the handle.
        const std::lock_guard<std::mutex> lock(fork_state.control);
        if (!fork_state.handle) {
            fork_state.handle = oneapi::tbb::task_scheduler_handle{oneapi::tbb::attach{}};
        }
        fork_state.threads_live = true;
    }
    gather_workers(threads);
    started.store(true, std::memory_order_release);
}

#endif

}  // namespace kavro::par
