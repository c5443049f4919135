// The result triple of every build, and its conversion to the int32 rows handed to NumPy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace kavro {

// K = 3 (triangles) or 4 (tetrahedra).
//   simplices  #m by K  vertex indices into the caller's points
//   neighbors  #m by K  entry k: the simplex across the face opposite vertex k, -1 on the hull
//   duplicates #d by 2  [dropped index, kept index], in the order the producer met them
template <std::size_t K>
struct DelaunayOutput {
    std::vector<std::array<std::uint32_t, K>> simplices;
    std::vector<std::array<std::int32_t, K>> neighbors;
    std::vector<std::array<std::uint32_t, 2>> duplicates;
};

// Owned row-major #rows by #cols int32 block.
struct I32Array {
    std::vector<std::int32_t> data;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// Consumes `rows` and returns it as int32, each 32-bit value reinterpreted as signed
// (indices of 2^31 and above come back negative; nothing is range-tested).
template <class V, std::size_t K>
I32Array to_i32_array(std::vector<std::array<V, K>>&& rows) {
    static_assert(sizeof(V) == 4 && std::is_integral_v<V>);
    I32Array out;
    out.rows = rows.size();
    out.cols = K;
    out.data.resize(rows.size() * K);
    if (!rows.empty()) std::memcpy(out.data.data(), rows.data(), rows.size() * K * sizeof(V));
    std::vector<std::array<V, K>>().swap(rows);
    return out;
}

}  // namespace kavro
