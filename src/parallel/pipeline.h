// The block pipeline of the parallel build: blocks, crust, merge.
//
// Given a finished grid with at least two blocks, triangulate_par runs three phases:
//   1. blocks: every block triangulates its own points plus one ring of halo cells with the
//      sequential kernel, certifies each local simplex's circumball against the grid, and
//      vouches for the simplices that have a safe own vertex; the other own points form the
//      crust, and the simplices around them the support (process_block);
//   2. crust: the crust points and their support are triangulated in one kernel run and
//      every all-crust simplex is verified against every point that could lie inside its
//      circumball, with exact in-ball tests (crust_pass);
//   3. merge: repeats are removed, every simplex is oriented exactly, every point must be
//      used, faces are paired into neighbours, every seam between two sources must be
//      strictly Delaunay and the boundary one closed, connected, convex surface (merge).
// Whatever the pipeline cannot certify ends it with a FallbackReason, and the driver then
// builds the whole input with the sequential kernel instead.
//
// Numbering: a global id is a position in Grid::points (Morton order, duplicates removed).
// Blocks and the crust name points by global id; only the last step of the merge maps them
// to input rows through Grid::perm. Every phase works on the grid's float64 coordinates,
// the caller's times the power of two the sequential kernels scale them by, so every test
// decides on the numbers a sequential run would see, and the result is the same for any
// power-of-two multiple of a cloud.
//
// Every float decision that vouches for something (a certified ball, a kept crust
// simplex, an oriented row, a seam, a convex boundary) is written to fail on NaN: a test
// that could not be evaluated never counts as passed.
//
// Determinism: every parallel step collects its results by index and every check's text is
// fixed, so the result, and whether the pipeline gives up, never depend on the pool's
// thread count or on the order in which tasks finish.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/error.h"
#include "parallel/geom.h"
#include "parallel/grid.h"
#include "parallel/mod.h"

namespace kavro::par {

// Rows of K = D + 1 unsigned 32-bit vertex ids (global ids or input rows, as stated).
template <std::size_t D>
using SimplexRows = Buffer<std::array<std::uint32_t, D + 1>>;

// Neighbour rows: entry k is the simplex across the face opposite vertex k, -1 for none.
template <std::size_t D>
using NeighborRows = Buffer<std::array<std::int32_t, D + 1>>;

// Why the pipeline gave up. Only its presence matters to the driver; the text names the
// failed check (tests read it).
struct FallbackReason {
    enum class Kind : std::uint8_t {
        CrustTooLarge,      // the crust holds more than a quarter of the distinct points
        CrustKernelFailed,  // fewer than K + 1 crust points, or the kernel failed on them
        InvalidMesh,        // a crust verification or merge check failed: see text
    };
    Kind kind;
    const char* text = "";  // a static string; empty except for InvalidMesh
};

// The result of one block, every index a global id.
template <std::size_t D>
struct BlockOut {
    // Every local simplex with a safe vertex, in the kernel's order and vertex order.
    SimplexRows<D> simplices;
    // The block's own points that are not safe, ascending.
    std::vector<std::uint32_t> crust;
    // For every local simplex with an own vertex that is not safe: its K vertices in its
    // vertex order, simplices in the kernel's order (entries repeat).
    std::vector<std::uint32_t> support;
};

// The finished-block counter: the pipeline's only shared mutable state. A block that ends
// locks it, counts itself and reports BlockDone to the sink while it holds it, so sink calls
// never overlap and their done values arrive as 1, 2, ..., total. Untouched without a sink.
struct BlockCounter {
    std::mutex mutex;
    std::uint64_t done = 0;
};

// Every event of the build goes to the sink through here. The sink may start parallel work
// of its own (the Python callable may run a parallel build), so it runs isolated: while it
// waits, its thread cannot take up a block of this build, whose report would wait for the
// counter that this very thread may be holding.
void report(const ProgressSink& sink, ParProgress event);

// What the block phase shares among its tasks, all read-only but the counter.
template <std::size_t D>
struct BlockPhase {
    const Grid<D>& grid;
    const KernelOps<D>& ops;
    const ProgressSink* sink;  // null: no events, counter untouched
    BlockCounter& counter;
};

// The (m, D) row-major float64 coordinates of the listed global ids, row r for ids[r].
template <std::size_t D>
std::vector<double> gather_coords(const Buffer<Point<D>>& points,
                                  const std::vector<std::uint32_t>& ids);

// Block b: gather own points and one ring of halo cells, triangulate with ops.kernel,
// certify every simplex with an own vertex against the grid, and sort the own points into
// safe ones (a vertex of some relevant simplex, not on the local hull, in no uncertified
// simplex) and crust. A block with fewer than K + 1 local points, or whose kernel run
// fails, vouches for nothing: all own points are crust and the whole local list support.
// Never fails. Reports BlockDone (when phase.sink is set) after its result is complete.
template <std::size_t D>
BlockOut<D> process_block(const BlockPhase<D>& phase, std::uint32_t b);

// The crust simplices (global ids, in the crust triangulation's order and vertex order):
// the all-crust simplices of the kernel's triangulation of crust + support that no grid
// point lies strictly inside. An empty crust gives no simplices. Fails with CrustTooLarge,
// CrustKernelFailed, or InvalidMesh "unverifiable crust ball" (no usable ball), "crust
// verification budget exceeded", "cospherical crust simplex" or "crust in-ball test
// without a sign" (an in-ball test that gave NaN).
template <std::size_t D>
Result<SimplexRows<D>, FallbackReason> crust_pass(const std::vector<BlockOut<D>>& blocks,
                                                  const Grid<D>& grid, const KernelOps<D>& ops);

// The finished mesh of the pipeline: rows of input indices and their neighbours.
//   simplices  #m by K  input rows; rows in ascending order of their sorted global ids,
//                       each row ascending but for its first two entries, exchanged where
//                       that makes it positive (triangles counterclockwise, tetrahedra
//                       det(b - a, c - a, d - a) > 0)
//   neighbors  #m by K  entry k: the row across the face opposite vertex k, -1 on the hull
template <std::size_t D>
struct ParMesh {
    SimplexRows<D> simplices;
    NeighborRows<D> neighbors;
};

// Joins the blocks' simplices and the crust simplices (both consumed) into one mesh and
// checks it, failing with InvalidMesh and the first failed check's text, in this order:
// "no simplices emitted", "degenerate simplex" (an orientation of zero or NaN), "point
// missing from mesh", "face shared by more than two simplices", "cross-source adjacency
// is not strictly Delaunay" (an in-ball test of zero, above or NaN), "boundary ridge
// shared by more than two boundary faces", "boundary ridge not shared by two boundary
// faces", "boundary is not a single connected surface". Besides, a mesh of
// K * m >= 2^32 face slots fails with "mesh too large for 32-bit face slots" after the
// point check, one without any boundary face (which no finite point set has) with "mesh
// has no boundary" in place of the connectivity check, and one whose boundary is not
// convex (a simplex missing at the hull) with "boundary is not convex" after it.
template <std::size_t D>
Result<ParMesh<D>, FallbackReason> merge(std::vector<BlockOut<D>>&& blocks,
                                         SimplexRows<D>&& crust, const Grid<D>& grid,
                                         const KernelOps<D>& ops);

// What one pipeline run did, for benchmarks: the crust size and the phases' wall times.
struct PipelineStats {
    std::uint64_t crust_points = 0;
    double block_seconds = 0.0;
    double crust_seconds = 0.0;  // 0 when the pipeline gave up before the crust ran
    double merge_seconds = 0.0;  // 0 when it gave up before the merge ran
};

// Seconds spent in the steps of one merge call (filled only when asked for, by benchmarks).
struct MergeProfile {
    double keys = 0;      // simplex keys sent to slabs of their lowest vertex
    double sort = 0;      // slabs sorted, repeats dropped, the rest oriented
    double rows = 0;      // rows placed in key order, every point checked to be used
    double index = 0;     // rows listed by their second vertex
    double windows = 0;   // window cuts
    double pairing = 0;   // face keys formed, sorted and paired, window by window
    double seams = 0;     // cross-source pairs tested
    double boundary = 0;  // ridges, closure, connectivity, convexity
    double mapping = 0;   // rows to input indices
};

// What the plain merge takes from the pool and from the 32-bit numbering, made explicit.
struct MergeOptions {
    // Windows of the face pairing; 0: merge_window_count() of the calling context.
    std::size_t windows = 0;
    // m * K must stay below this many face slots (slots are 32-bit); a larger mesh fails
    // with "mesh too large for 32-bit face slots" before any slot is formed. The default
    // also keeps m below 2^31, so every row is numbered in int32.
    std::uint64_t face_slot_limit = std::uint64_t{1} << 32;
    MergeProfile* profile = nullptr;
};

template <std::size_t D>
Result<ParMesh<D>, FallbackReason> merge(std::vector<BlockOut<D>>&& blocks,
                                         SimplexRows<D>&& crust, const Grid<D>& grid,
                                         const KernelOps<D>& ops, const MergeOptions& options);

// The merge's first step on the blocks' rows alone: their simplex keys counted into slabs
// of vertex ids, sorted, repeats dropped (the lowest block kept) and the rest oriented
// exactly, or the failure "degenerate simplex". It reads only BlockOut::simplices, so the
// pipeline runs it on the pool while the crust kernel runs on the calling thread; the
// merge below then adds the crust's keys, which come last in key order.
template <std::size_t D>
class BlockKeys {
public:
    BlockKeys();
    ~BlockKeys();
    BlockKeys(BlockKeys&&) noexcept;
    BlockKeys& operator=(BlockKeys&&) noexcept;

    struct Impl;
    std::unique_ptr<Impl> impl;
};

template <std::size_t D>
BlockKeys<D> sort_block_keys(const std::vector<BlockOut<D>>& blocks, const Grid<D>& grid,
                             const KernelOps<D>& ops, MergeProfile* profile = nullptr);

// merge(blocks, crust, ...) is sort_block_keys on the blocks, then this on its result.
template <std::size_t D>
Result<ParMesh<D>, FallbackReason> merge(BlockKeys<D>&& block_keys, SimplexRows<D>&& crust,
                                         const Grid<D>& grid, const KernelOps<D>& ops,
                                         const MergeOptions& options);

// The boundary checks that end merge, on merged rows (global ids, ascending but for an
// exchanged first pair) and the slots s * K + i of their boundary faces (the face of row s
// opposite its vertex i), in order: "boundary ridge shared by more than two boundary
// faces", "boundary ridge not shared by two boundary faces", "mesh has no boundary",
// "boundary is not a single connected surface", then "boundary is not convex" when a
// simplex missing at the hull has dented it. nullopt when all pass.
// The boundary that merge's pairing finds never has a ridge met only once: each ridge of a
// row lies in two of the row's faces, and a face met twice holds it twice, so the faces met
// once hold every ridge an even number of times. The check guards merge all the same, and
// is reachable here with any list of faces.
template <std::size_t D>
std::optional<FallbackReason> check_merge_boundary(const SimplexRows<D>& rows,
                                                   const std::vector<std::uint32_t>& boundary,
                                                   const Grid<D>& grid, const KernelOps<D>& ops);

// The number of face-pairing windows for the pool seen from here: four per thread, at
// most 256 (1 when the pool reports no thread), so the join on the calling thread sees
// few of them and each thread several.
std::size_t merge_window_count();

// The cuts of `keys` sorted face keys into at most `windows` windows: 0; then for i from 1
// to windows - 1 the nominal cut b = min(i * size, keys), size = max(ceil(keys / windows),
// 1), moved forward to next_run_start(b), the first position >= b where a run of keys of
// one face starts (keys when none), and kept only when below `keys` and above the last cut
// kept; then `keys`. No run of one face is ever split between two windows.
template <class NextRunStart>
std::vector<std::size_t> window_cuts(std::size_t keys, std::size_t windows,
                                     NextRunStart&& next_run_start) {
    windows = windows == 0 ? 1 : windows;
    const std::size_t size = keys == 0 ? 1 : (keys + windows - 1) / windows;
    std::vector<std::size_t> cuts{0};
    for (std::size_t i = 1; i < windows; ++i) {
        std::size_t b = i * size < keys ? i * size : keys;
        if (b > 0 && b < keys) b = next_run_start(b);
        if (b < keys && b > cuts.back()) cuts.push_back(b);
    }
    cuts.push_back(keys);
    return cuts;
}

// The pipeline on a grid with at least two blocks: BlocksStarted, the blocks on the pool
// (BlockDone from the workers), Crust, the crust phase (beside it, on the rest of the
// pool, sort_block_keys), Merge, the rest of the merge. A failure of the crust phase wins
// over one of sort_block_keys. Sends no Done or Fallback (the driver does). sink and
// stats may be null.
template <std::size_t D>
Result<ParMesh<D>, FallbackReason> triangulate_par(const Grid<D>& grid, const KernelOps<D>& ops,
                                                   const ProgressSink* sink,
                                                   PipelineStats* stats = nullptr);

}  // namespace kavro::par
