#include "core/csr_adjacency.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace kavro {

namespace {

constexpr std::uint64_t MAX_SLOTS =
    static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

// m * k * (k - 1), or MAX_SLOTS + 1 when it is larger. Strided views with a zero stride can
// claim far more rows or columns than memory holds, so the product must not be allowed to
// wrap around into a small, accepted value.
std::uint64_t slot_count(std::uint64_t m, std::uint64_t k) {
    if (m == 0 || k < 2) return 0;
    const std::uint64_t over = MAX_SLOTS + 1;
    if (k - 1 > over / k) return over;
    const std::uint64_t per_row = k * (k - 1);
    if (per_row > over / m) return over;
    return std::min(m * per_row, over);
}

}  // namespace

Result<CsrAdjacency, std::string> csr_adjacency(const SimplexView& simplices,
                                                std::uint64_t n_points) {
    const std::size_t m = simplices.rows;
    const std::size_t k = simplices.cols;

    for (std::size_t r = 0; r < m; ++r) {
        for (std::size_t c = 0; c < k; ++c) {
            const std::int32_t v = simplices.at(r, c);
            if (v < 0 || static_cast<std::uint64_t>(v) >= n_points) {
                return "simplex vertex " + std::to_string(v) + " out of range for " +
                       std::to_string(n_points) + " points";
            }
        }
    }

    // The limit is decided from the shape alone, before the counting pass, which is what the
    // counters would sum to anyway; this way they can never overflow.
    const std::uint64_t total = slot_count(m, k);
    if (total > MAX_SLOTS) return std::string("adjacency does not fit int32 indptr");

    const std::size_t n = static_cast<std::size_t>(n_points);

    // counts[v + 1] collects vertex v's slots; after the prefix sums counts[v] is the first
    // slot of v and counts[n] the total.
    std::vector<std::uint64_t> counts(n + 1, 0);
    for (std::size_t r = 0; r < m; ++r) {
        for (std::size_t c = 0; c < k; ++c) {
            counts[static_cast<std::size_t>(simplices.at(r, c)) + 1] += k - 1;
        }
    }
    for (std::size_t i = 0; i < n; ++i) counts[i + 1] += counts[i];

    std::vector<std::int32_t> indices(static_cast<std::size_t>(total), 0);
    std::vector<std::uint64_t> cursor(counts.begin(), counts.end() - 1);
    for (std::size_t r = 0; r < m; ++r) {
        for (std::size_t j = 0; j < k; ++j) {
            const auto a = static_cast<std::size_t>(simplices.at(r, j));
            // Columns, not values, are skipped: a vertex repeated within a row records
            // itself, which keeps the slot count a function of the shape alone.
            for (std::size_t c = 0; c < k; ++c) {
                if (c != j) indices[cursor[a]++] = simplices.at(r, c);
            }
        }
    }
    std::vector<std::uint64_t>().swap(cursor);

    // Compaction shares the slot array: the write position never passes the start of the
    // slice being read, so no second buffer is needed.
    std::vector<std::int32_t> indptr(n + 1, 0);
    std::size_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto begin = indices.begin() + static_cast<std::ptrdiff_t>(counts[i]);
        const auto end = indices.begin() + static_cast<std::ptrdiff_t>(counts[i + 1]);
        if (end - begin >= 2) std::sort(begin, end);
        std::int32_t prev = -1;  // below every valid index
        for (auto it = begin; it != end; ++it) {
            if (*it != prev) {
                indices[w++] = *it;
                prev = *it;
            }
        }
        indptr[i + 1] = static_cast<std::int32_t>(w);
    }
    // resize keeps the capacity; the slack is the price of compacting in place.
    indices.resize(w);

    return CsrAdjacency{std::move(indptr), std::move(indices)};
}

}  // namespace kavro
