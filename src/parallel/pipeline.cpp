// The order of the pipeline's phases and its progress events.
#include "parallel/pipeline.h"

#include <chrono>
#include <optional>
#include <utility>

#include "parallel/pool.h"

namespace kavro::par {

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

void report(const ProgressSink& sink, ParProgress event) {
    isolated([&] { sink(event); });
}

template <std::size_t D>
Result<ParMesh<D>, FallbackReason> triangulate_par(const Grid<D>& grid, const KernelOps<D>& ops,
                                                   const ProgressSink* sink,
                                                   PipelineStats* stats) {
    PipelineStats local;
    PipelineStats& st = stats ? *stats : local;
    st = PipelineStats{};
    const std::uint64_t total = grid.blocks.size();
    if (sink) report(*sink, ParProgress{ParProgress::Kind::BlocksStarted, 0, total});

    auto t0 = std::chrono::steady_clock::now();
    // Collected by block index: block b's result is slot b whoever finishes first.
    std::vector<BlockOut<D>> blocks(grid.blocks.size());
    {
        BlockCounter counter;
        const BlockPhase<D> phase{grid, ops, sink, counter};
        for_each_index(blocks.size(), [&](std::size_t b) {
            blocks[b] = process_block<D>(phase, static_cast<std::uint32_t>(b));
        });
    }
    st.block_seconds = seconds_since(t0);
    for (const BlockOut<D>& b : blocks) st.crust_points += b.crust.size();

    if (sink) report(*sink, ParProgress{ParProgress::Kind::Crust, 0, 0});
    t0 = std::chrono::steady_clock::now();
    // The crust kernel runs on one thread; the rest of the pool meanwhile sorts the blocks'
    // simplex keys, the merge's first step, which does not depend on the crust.
    std::optional<Result<SimplexRows<D>, FallbackReason>> crust;
    BlockKeys<D> keys;
    for_each_index(2, [&](std::size_t i) {
        if (i == 0) {
            crust.emplace(crust_pass<D>(blocks, grid, ops));
        } else {
            keys = sort_block_keys<D>(blocks, grid, ops);
        }
    });
    std::vector<BlockOut<D>>().swap(blocks);
    st.crust_seconds = seconds_since(t0);
    if (!crust->ok()) return crust->error();

    if (sink) report(*sink, ParProgress{ParProgress::Kind::Merge, 0, 0});
    t0 = std::chrono::steady_clock::now();
    auto mesh = merge<D>(std::move(keys), std::move(crust->value()), grid, ops, MergeOptions{});
    st.merge_seconds = seconds_since(t0);
    return mesh;
}

template Result<ParMesh<2>, FallbackReason> triangulate_par<2>(const Grid<2>&, const KernelOps<2>&,
                                                               const ProgressSink*, PipelineStats*);
template Result<ParMesh<3>, FallbackReason> triangulate_par<3>(const Grid<3>&, const KernelOps<3>&,
                                                               const ProgressSink*, PipelineStats*);

}  // namespace kavro::par
