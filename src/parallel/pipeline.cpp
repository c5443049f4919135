// The order of the pipeline's phases and its progress events.
#include "parallel/pipeline.h"

#include <utility>

#include "parallel/pool.h"

namespace kavro::par {

template <std::size_t D>
Result<ParMesh<D>, FallbackReason> triangulate_par(const Grid<D>& grid, const KernelOps<D>& ops,
                                                   const ProgressSink* sink) {
    const std::uint64_t total = grid.blocks.size();
    if (sink) (*sink)(ParProgress{ParProgress::Kind::BlocksStarted, 0, total});

    // Collected by block index: block b's result is slot b whoever finishes first.
    std::vector<BlockOut<D>> blocks(grid.blocks.size());
    {
        BlockCounter counter;
        const BlockPhase<D> phase{grid, ops, sink, counter};
        for_each_index(blocks.size(), [&](std::size_t b) {
            blocks[b] = process_block<D>(phase, static_cast<std::uint32_t>(b));
        });
    }

    if (sink) (*sink)(ParProgress{ParProgress::Kind::Crust, 0, 0});
    auto crust = crust_pass<D>(blocks, grid, ops);
    if (!crust.ok()) return crust.error();

    if (sink) (*sink)(ParProgress{ParProgress::Kind::Merge, 0, 0});
    return merge<D>(std::move(blocks), std::move(crust.value()), grid, ops);
}

template Result<ParMesh<2>, FallbackReason> triangulate_par<2>(const Grid<2>&, const KernelOps<2>&,
                                                               const ProgressSink*);
template Result<ParMesh<3>, FallbackReason> triangulate_par<3>(const Grid<3>&, const KernelOps<3>&,
                                                               const ProgressSink*);

}  // namespace kavro::par
