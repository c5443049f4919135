// Read-only strided view of an (n, D) coordinate array, and the index conventions shared
// by every kernel.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavro {

// Vertex and half-edge indices are unsigned 32-bit; the all-ones value means "none".
inline constexpr std::uint32_t NO_INDEX = 0xFFFFFFFFu;
// Every point index comes back to Python in an int32 array (as a vertex, or in a
// [dropped, kept] row), so the largest usable index is 2^31 - 1: at most 2^31 points.
inline constexpr std::uint64_t MAX_POINTS = std::uint64_t{1} << 31;

// #rows by #cols coordinates of type T (double or float), strides counted in elements,
// so a zero row stride repeats one row (handy for huge synthetic inputs in tests).
// Every read widens to double exactly.
template <class T>
struct PointView {
    const T* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    double at(std::size_t r, std::size_t c) const {
        return static_cast<double>(data[static_cast<std::ptrdiff_t>(r) * row_stride +
                                        static_cast<std::ptrdiff_t>(c) * col_stride]);
    }

    // Dense row-major view over `rows` rows of `cols` values.
    static PointView dense(const T* data, std::size_t rows, std::size_t cols) {
        return PointView{data, rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    }
};

}  // namespace kavro
