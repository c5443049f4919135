// Crust phase: triangulate the points no block could vouch for, verify exactly.
#include "parallel/pipeline.h"

namespace kavro::par {

template <std::size_t D>
Result<SimplexRows<D>, FallbackReason> crust_pass(const std::vector<BlockOut<D>>& blocks,
                                                  const Grid<D>& grid, const KernelOps<D>& ops) {
    (void)blocks;
    (void)grid;
    (void)ops;
    return FallbackReason{FallbackReason::Kind::CrustKernelFailed};
}

template Result<SimplexRows<2>, FallbackReason> crust_pass<2>(const std::vector<BlockOut<2>>&,
                                                              const Grid<2>&, const KernelOps<2>&);
template Result<SimplexRows<3>, FallbackReason> crust_pass<3>(const std::vector<BlockOut<3>>&,
                                                              const Grid<3>&, const KernelOps<3>&);

}  // namespace kavro::par
