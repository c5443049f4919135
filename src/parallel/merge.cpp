// Merge: de-duplication, orientation, coverage, face pairing, seams, boundary, mapping.
#include "parallel/pipeline.h"

namespace kavro::par {

template <std::size_t D>
Result<ParMesh<D>, FallbackReason> merge(std::vector<BlockOut<D>>&& blocks,
                                         SimplexRows<D>&& crust, const Grid<D>& grid,
                                         const KernelOps<D>& ops) {
    (void)blocks;
    (void)crust;
    (void)grid;
    (void)ops;
    return FallbackReason{FallbackReason::Kind::InvalidMesh, "no simplices emitted"};
}

template Result<ParMesh<2>, FallbackReason> merge<2>(std::vector<BlockOut<2>>&&, SimplexRows<2>&&,
                                                     const Grid<2>&, const KernelOps<2>&);
template Result<ParMesh<3>, FallbackReason> merge<3>(std::vector<BlockOut<3>>&&, SimplexRows<3>&&,
                                                     const Grid<3>&, const KernelOps<3>&);

}  // namespace kavro::par
