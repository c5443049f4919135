#include "core/error.h"

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

}  // namespace kavro
