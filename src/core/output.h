// The result triple of every build, and its conversion to the int32 rows handed to NumPy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>

#include <new>
#endif

namespace kavro {

// std::allocator, except that arrays of 2 MiB and more are mapped on their own, starting
// on a 2 MiB boundary, and offered transparent huge pages (where the system allows them,
// on request; a partial last 2 MiB stays in small pages, so nothing is rounded up).
// The parallel build runs several kernels at once, each filling fresh arrays of tens of
// megabytes: with 4 KiB pages every thread takes a page fault every 4 KiB, and the faults
// queue on the process's memory map; with 2 MiB pages there are 512 times fewer.
//
// Without ZeroNew, default-constructed trivial elements are left uninitialised: a result
// array is written in full by whoever fills it, so zeroing it first would only double the
// writes and touch every page from the allocating thread (the parallel build fills its
// arrays from all workers at once).
template <class T, bool ZeroNew = true>
struct LargePageAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = LargePageAllocator<U, ZeroNew>;
    };
    LargePageAllocator() = default;
    template <class U>
    LargePageAllocator(const LargePageAllocator<U, ZeroNew>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        if constexpr (ZeroNew) {
            ::new (static_cast<void*>(p)) U();
        } else {
            ::new (static_cast<void*>(p)) U;
        }
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
#ifdef __linux__
    T* allocate(std::size_t n) {
        if (n > std::allocator_traits<std::allocator<T>>::max_size(*this)) {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLarge) return std::allocator<T>::allocate(n);
        const std::size_t size = page_up(bytes);
        void* raw = ::mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        // Only the 2 MiB-aligned part is kept, so that whole huge pages fit in it.
        const auto base = reinterpret_cast<std::uintptr_t>(raw);
        const std::uintptr_t start = (base + kHuge - 1) & ~(kHuge - 1);
        if (start > base) ::munmap(raw, start - base);
        const std::uintptr_t end = base + size + kHuge;
        if (end > start + size) {
            ::munmap(reinterpret_cast<void*>(start + size), end - (start + size));
        }
        ::madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);
        return reinterpret_cast<T*>(start);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kLarge) return std::allocator<T>::deallocate(p, n);
        ::munmap(p, page_up(bytes));
    }

private:
    static constexpr std::size_t kHuge = std::size_t{1} << 21;
    static constexpr std::size_t kLarge = kHuge;
    static std::size_t page_up(std::size_t bytes) {
        static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        return (bytes + page - 1) / page * page;
    }
#endif
};

// A std::vector that does not zero new elements: resize() leaves them to the caller.
template <class T>
using Buffer = std::vector<T, LargePageAllocator<T, false>>;

// K = 3 (triangles) or 4 (tetrahedra).
//   simplices  #m by K  vertex indices into the caller's points
//   neighbors  #m by K  entry k: the simplex across the face opposite vertex k, -1 on the hull
//   duplicates #d by 2  [dropped index, kept index], in the order the producer met them
template <std::size_t K>
struct DelaunayOutput {
    Buffer<std::array<std::uint32_t, K>> simplices;
    Buffer<std::array<std::int32_t, K>> neighbors;
    Buffer<std::array<std::uint32_t, 2>> duplicates;
};

// Row-major #rows by #cols block of 32-bit values read as int32. It keeps the producer's
// own buffer: reading an unsigned index through its signed type is allowed by the
// aliasing rules, so a result reaches NumPy without a copy (at 10^6 points in 3D the
// copies took 0.16 s and doubled the output's peak memory).
struct I32Array {
    std::shared_ptr<void> owner;    // keeps `data` alive
    std::int32_t* data = nullptr;   // rows * cols values; never null
    std::size_t rows = 0;
    std::size_t cols = 0;

    std::int32_t at(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
};

// Results of more rows than this are refused by their producer: a neighbour entry names a
// row in int32, so rows 0 .. 2^31 - 1 are all that can be numbered.
inline constexpr std::uint64_t MAX_SIMPLICES = std::uint64_t{1} << 31;

// Takes over `rows` and reads it as int32, each 32-bit value reinterpreted as signed.
// Nothing is range-tested here, and nothing needs to be: inputs of more than MAX_POINTS
// rows and results of more than MAX_SIMPLICES rows are refused by count before this, so
// every index is below 2^31 and reads as itself, and only NO_INDEX reads as -1.
template <class V, std::size_t K, class A>
I32Array to_i32_array(std::vector<std::array<V, K>, A>&& rows) {
    static_assert(sizeof(V) == 4 && std::is_integral_v<V>);
    static_assert(sizeof(std::array<V, K>) == K * sizeof(V), "rows must be packed");
    using Rows = std::vector<std::array<V, K>, A>;
    auto held = std::make_shared<Rows>(std::move(rows));
    // NumPy reads a null data pointer as "allocate for me": an empty block still points
    // at memory of its own.
    if (held->empty()) held->reserve(1);
    I32Array out;
    out.rows = held->size();
    out.cols = K;
    out.data = reinterpret_cast<std::int32_t*>(held->data());
    out.owner = std::move(held);
    return out;
}

}  // namespace kavro
