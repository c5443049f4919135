// The spatial grid of a parallel build: the distinct input points in Morton order of
// their cells, the permutation back to input rows, the duplicate rows, and the cutting of
// the occupied cells into blocks. Every later phase of the pipeline reads it; once built
// it is immutable and shared by reference among the pool's workers.
//
// Numbering: a point's position in Grid::points is its global id inside the pipeline.
// A cell is named by its coordinates (one value per axis) or by its row-major id, the
// last axis varying fastest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/output.h"
#include "core/point_view.h"
#include "core/scaling.h"
#include "parallel/geom.h"

namespace kavro::par {

inline constexpr std::uint64_t GRID_MAX_AXIS_CELLS = 1048576;
inline constexpr std::uint64_t GRID_MAX_CELLS = 16777216;
inline constexpr std::uint32_t GRID_MAX_BLOCKS = 256;
inline constexpr std::uint64_t TILE_CELLS = 8;

// A block: a run of Grid::occupied_cells and the run of Grid::points that those cells hold.
struct BlockSpan {
    std::uint32_t cell_lo;  // [cell_lo, cell_hi) in Grid::occupied_cells
    std::uint32_t cell_hi;
    std::uint32_t pt_lo;    // [pt_lo, pt_hi) in Grid::points
    std::uint32_t pt_hi;
    bool operator==(const BlockSpan&) const = default;
};

// Cell coordinates: below GRID_MAX_AXIS_CELLS on every axis.
template <std::size_t D>
using Cell = std::array<std::uint32_t, D>;

template <std::size_t D>
struct Grid {
    Buffer<Point<D>> points;                                 // distinct points, sorted
    Buffer<std::uint32_t> perm;                              // input row of each point
    Buffer<std::array<std::uint32_t, 2>> duplicates;         // [dropped, kept], sorted order
    std::vector<std::array<std::uint32_t, 2>> cell_ranges;   // per cell id: [start, end)
    std::vector<std::uint32_t> cell_owner;                   // per cell id: block, or NO_INDEX
    std::vector<std::uint32_t> occupied_cells;               // non-empty cell ids, sorted
    std::vector<BlockSpan> blocks;                           // at most GRID_MAX_BLOCKS
    std::vector<std::uint8_t> tiles;                         // per tile: 1 when occupied
    std::array<double, D> origin;                            // lower corner of the box
    std::array<std::uint64_t, D> dims;                       // cells per axis
    std::array<double, D> cell_size;                         // 0.0 on a flat axis
    std::array<double, D> inv_cell_size;                     // 0.0 on a flat axis
    std::array<std::uint64_t, D> tile_dims;                  // ceil(dims / TILE_CELLS)
    // Per axis, how far a point may lie outside the float box of the cell it is filed in:
    // the filing and the box corners round differently (see cut_blocks).
    std::array<double, D> box_slack;

    // The cell of a point: truncation of (p - origin) * inv_cell_size that saturates (NaN
    // and negatives give 0), capped at the last cell. Any point, in or out of the box.
    Cell<D> point_cell(const Point<D>& p) const;
    // The cells lo ..= hi that can hold a point within r of c: those of the corners c - r
    // and c + r. The corners are rounded, but point_cell is the monotone function that
    // filed the points, and a point p with p_a >= c_a - r also has p_a >= fl(c_a - r): no
    // cell that can hold a point of the ball falls outside the box.
    void ball_cells(const Point<D>& c, double r, Cell<D>& lo, Cell<D>& hi) const;
    std::uint32_t cell_index(const Cell<D>& c) const;
    Cell<D> cell_coords(std::uint32_t id) const;
    // True when the cell or one of its (up to 8 or 26) neighbours is owned by the block:
    // the cell lies in the region whose points the block gathers.
    bool is_gathered(std::uint32_t block, const Cell<D>& c) const;
    // A lower bound on the squared distance from c to any point filed in the box of span
    // cells per axis that starts at cell first: the float box (lower corner first *
    // cell_size + origin, upper corner lower + span * cell_size) widened by box_slack.
    // Compare it with reach2 of the radius: a cell or tile it calls out of reach holds no
    // point of the ball. 0 on axes where c lies in the box or a corner is NaN.
    double gap2(const Point<D>& c, const Cell<D>& first, std::uint32_t span) const;
};

// The bound to compare squared float distances from a ball's centre with, for a ball of
// outer radius R. R may equal the largest distance of a point of the true ball, and both
// R * R and the distances round (a few units of 2^-53 relative), so the square is enlarged
// by 2^-46 relative: a point of the ball always compares below it.
inline double reach2(double R) { return R * R * (1.0 + 0x1p-46); }

// Calls f(cell) for every cell of the box lo ..= hi, the first axis varying fastest, and
// stops as soon as f returns false. Returns false when f did.
template <std::size_t D, class F>
bool for_each_cell(const Cell<D>& lo, const Cell<D>& hi, F&& f) {
    Cell<D> x = lo;
    while (true) {
        if (!f(static_cast<const Cell<D>&>(x))) return false;
        std::size_t a = 0;
        for (; a < D && x[a] == hi[a]; ++a) x[a] = lo[a];
        if (a == D) return true;
        ++x[a];
    }
}

// Bit b of c[a] goes to bit D·b + a (the low 32 bits of each coordinate in 2D, 21 in 3D).
template <std::size_t D>
std::uint64_t morton_key(const Cell<D>& c);

// While the product of the counts exceeds GRID_MAX_CELLS, halves (rounding up) the
// largest count; a tie goes to the higher axis.
template <std::size_t D>
void limit_cells(std::array<std::uint64_t, D>& dims);

// The second half of build_grid, on a grid whose points are grouped by cell and whose
// origin, dims, cell_size and inv_cell_size are set: cell ranges, occupied cells in point
// order, tiles, owners, box_slack and the blocks of about block_target points (0 acting
// as 1).
template <std::size_t D>
void cut_blocks(Grid<D>& g, std::uint64_t block_target);

// PowerOfTwoScale::of(points), the scale the sequential kernels give the same cloud, with
// the scan over the points made on the pool (PowerOfTwoScale::of_extremes).
template <std::size_t D, class T>
PowerOfTwoScale cloud_scale(const PointView<T>& points);

// Builds the grid of n <= MAX_POINTS rows of D coordinates (float64 or float32, widened
// exactly), each multiplied by scale as it is read: Grid::points holds the scaled values,
// and everything sized from them (origin, cells, boxes) is in that frame. The driver
// passes the kernels' own scale of a cloud in their exact range, where multiplying
// rounds nothing, so duplicates and the order are those of the caller's values. The
// parallel steps run on the pool; the result does not depend on its thread count.
// block_target: distinct points per block, 0 acting as 1. Cannot fail except by running
// out of memory.
//
// Equal points are grouped although -0.0 and +0.0 differ in the sort: inside a cell the
// points are ordered by their coordinates with -0.0 read as +0.0 first, so IEEE-equal
// points lie next to each other, and then in IEEE total order and by input row, so the
// one kept of a group is its lowest row, or its first in total order (-0.0 on the first
// axis where the signs differ) where the signs of a zero mix.
template <std::size_t D, class T>
Grid<D> build_grid(const PointView<T>& points, std::uint64_t block_target,
                   const PowerOfTwoScale& scale = PowerOfTwoScale(0));

}  // namespace kavro::par
