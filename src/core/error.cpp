#include "core/error.h"

#include "core/point_view.h"

namespace kavro {

std::string DelaunayError::message() const {
    struct Visitor {
        std::string operator()(const NotEnoughPoints& e) const {
            return "not enough distinct points (got " + std::to_string(e.count) + ")";
        }
        std::string operator()(const Degenerate& e) const { return "degenerate input: " + e.text; }
        std::string operator()(const Corrupt& e) const { return "internal corruption: " + e.text; }
    };
    return std::visit(Visitor{}, value);
}

DelaunayError DelaunayError::too_many_points(std::uint64_t count) {
    return degenerate("too many points (" + std::to_string(count) + "), maximum is " +
                      std::to_string(MAX_POINTS));
}

}  // namespace kavro
