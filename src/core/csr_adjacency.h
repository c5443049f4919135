// Vertex-to-vertex adjacency of a simplex mesh in compressed sparse row form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"

namespace kavro {

// Read-only #rows by #cols view of int32 vertex indices; strides are counted in elements
// and may be zero or negative (a zero stride repeats one row or one column).
struct SimplexView {
    const std::int32_t* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    std::int32_t at(std::size_t r, std::size_t c) const {
        return data[static_cast<std::ptrdiff_t>(r) * row_stride +
                    static_cast<std::ptrdiff_t>(c) * col_stride];
    }
};

// indptr   n_points + 1 offsets, indptr[0] == 0
// indices  for vertex i, indices[indptr[i] .. indptr[i + 1]) are the distinct vertices that
//          share a simplex with i, ascending. A vertex that occurs twice in one simplex is
//          listed as its own neighbour; a vertex in no simplex gets an empty range.
struct CsrAdjacency {
    std::vector<std::int32_t> indptr;
    std::vector<std::int32_t> indices;
};

// Works for any number of columns (k < 2 simply yields no neighbours). n_points is meant to
// stay below 2^31, which the caller guarantees; memory grows with it (8 bytes per vertex for
// the counters and the cursors each, 4 for indptr).
// errors, the first one found ending the call:
//   "simplex vertex {v} out of range for {n_points} points"
//       for the first entry, in logical row-major order, outside [0, n_points); v is
//       printed signed, so -1 reads -1;
//   "adjacency does not fit int32 indptr"
//       when m * k * (k - 1) slots exceed 2147483647, counted before repeated neighbours
//       are merged, so it depends only on the shape once the indices are valid.
Result<CsrAdjacency, std::string> csr_adjacency(const SimplexView& simplices,
                                                std::uint64_t n_points);

}  // namespace kavro
