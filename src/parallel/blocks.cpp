// Block phase: gather, triangulate, certify, sort own points into safe ones and crust.
#include "parallel/pipeline.h"

namespace kavro::par {

template <std::size_t D>
std::vector<double> gather_coords(const std::vector<Point<D>>& points,
                                  const std::vector<std::uint32_t>& ids) {
    std::vector<double> out(D * ids.size());
    for (std::size_t r = 0; r < ids.size(); ++r) {
        for (std::size_t a = 0; a < D; ++a) out[D * r + a] = points[ids[r]][a];
    }
    return out;
}

template <std::size_t D>
BlockOut<D> process_block(const BlockPhase<D>& phase, std::uint32_t b) {
    (void)phase;
    (void)b;
    return {};
}

template std::vector<double> gather_coords<2>(const std::vector<Point<2>>&,
                                              const std::vector<std::uint32_t>&);
template std::vector<double> gather_coords<3>(const std::vector<Point<3>>&,
                                              const std::vector<std::uint32_t>&);
template BlockOut<2> process_block<2>(const BlockPhase<2>&, std::uint32_t);
template BlockOut<3> process_block<3>(const BlockPhase<3>&, std::uint32_t);

}  // namespace kavro::par
