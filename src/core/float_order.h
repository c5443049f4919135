// Bit-level views of doubles shared by the kernels' sorts.
#pragma once

#include <cstdint>
#include <cstring>

namespace kavro {

// Maps a double onto a signed integer whose order is the IEEE total order (-NaN < -inf <
// ... < -0.0 < +0.0 < ... < +inf < +NaN), so ties between -0.0 and +0.0 break the same way
// on every platform.
inline std::int64_t total_key(double v) {
    std::int64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(b >> 63) >> 1);
}

// The bit pattern of v; for non-negative doubles its unsigned order is the numeric order,
// with +inf after every finite value.
inline std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace kavro
