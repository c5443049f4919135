// Power-of-two normalisation of a point cloud before a kernel runs.
//
// The exact predicates are exact only while their products neither overflow nor
// underflow, and the kernels' float steering (squared distances, lifted heights) has the
// same limits. Multiplying every coordinate by one power of two changes no sign of any
// predicate and no float decision that stays in range, so the kernels first bring the
// largest finite |coordinate| into [1, 2). A cloud and any power-of-two multiple of it
// (every coordinate finite and normal in both) then reach the kernel as the same numbers
// and get the same result.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/point_view.h"

namespace kavro {

class PowerOfTwoScale {
public:
    static constexpr double MAX = 1.7976931348623157e308;  // the largest finite double

    // Scale for the largest finite |coordinate| of points; the identity when there is
    // none (every coordinate zero or non-finite), so NaN and infinities reach the kernel
    // as they are.
    //
    // Scaling down never rounds a coordinate away: where the cloud also holds values so
    // small that they would become subnormal and lose bits, it is scaled down only as far
    // as their lowest set bit allows (then the range of the cloud itself exceeds what
    // double products can hold, and exactness ends there anyway).
    template <class T>
    static PowerOfTwoScale of(const PointView<T>& points) {
        double top = 0.0;
        double low = MAX;  // smallest nonzero finite |coordinate|
        for (std::size_t r = 0; r < points.rows; ++r) {
            for (std::size_t c = 0; c < points.cols; ++c) {
                const double a = std::fabs(points.at(r, c));
                if (a <= MAX) {
                    if (a > top) top = a;
                    if (a < low && a > 0.0) low = a;
                }
            }
        }
        return of_extremes(top, low, points.cols, [&points] {
            int lowest = 1024;
            for (std::size_t r = 0; r < points.rows; ++r) {
                for (std::size_t c = 0; c < points.cols; ++c) {
                    const double a = std::fabs(points.at(r, c));
                    if (a > 0.0 && a <= MAX) lowest = std::min(lowest, lowest_bit(a));
                }
            }
            return lowest;
        });
    }

    // `of` from what it reads of a cloud of `dims` columns: its largest finite magnitude
    // top, its smallest nonzero finite one low (MAX when there is none), and, through
    // lowest_of(), the lowest set bit of any nonzero finite coordinate, asked for only
    // when low does not settle the question. For callers that scan the cloud their own way.
    template <class LowestBit>
    static PowerOfTwoScale of_extremes(double top, double low, std::size_t dims,
                                       LowestBit&& lowest_of) {
        if (top == 0.0) return PowerOfTwoScale(0);
        int exponent = -binade(top);
        // Every nonzero coordinate is a multiple of 2^(binade(low) - 52); the exact lowest
        // set bit is only looked for when that bound is not good enough.
        const int floor_bit = exact_floor(dims);
        const bool subnormal = exponent < 0 && std::ldexp(low, exponent) < 0x1p-1022;
        if (!subnormal && binade(low) - 52 + exponent >= floor_bit) {
            return PowerOfTwoScale(exponent, true);
        }
        const int lowest = lowest_of();
        // exponent + (position of the lowest set bit of v) >= -1074 keeps v exact.
        if (subnormal) exponent = std::max(exponent, std::min(0, -1074 - lowest));
        const bool top_in_range = std::ldexp(top, exponent) < 2.0;
        return PowerOfTwoScale(exponent, top_in_range && lowest + exponent >= floor_bit);
    }

    // Whether the plain predicates (core/predicates.h) are exact on every test the kernel
    // of this cloud's dimension makes on the scaled coordinates: 2D kernels decide by
    // incircle, a product of 4 coordinate differences, 3D ones by insphere, of 5. After
    // scaling the largest |coordinate| is below 2, so nothing overflows; every exact
    // intermediate of a degree-k predicate is a multiple of 2^(k * lowest set bit), and
    // keeping that at or above 2^-900 keeps every stage, error bounds included, clear of
    // the subnormal range, where products stop being exact. Clouds outside need the
    // predicates' wide forms.
    bool in_exact_range() const { return in_exact_range_; }

    // The lowest set bit, relative to a largest |coordinate| in [1, 2), that keeps a cloud
    // of `dims` columns in the exact range: -225 in 2D, -180 in 3D.
    static constexpr int exact_floor(std::size_t dims) {
        const int degree = static_cast<int>(dims) + 2;
        return -(900 / degree);
    }

    // Scaling by 2^exponent, for any exponent in [-1074, 1074]. Cheap enough to make one
    // per simplex (circumradii does).
    explicit PowerOfTwoScale(int exponent, bool in_exact_range = true)
        : exponent_(exponent), in_exact_range_(in_exact_range) {
        if (exponent >= -1022 && exponent <= 1023) {
            first_ = std::bit_cast<double>(static_cast<std::uint64_t>(exponent + 1023) << 52);
            second_ = 1.0;
            return;
        }
        // 2^exponent itself may not be a normal double (the cloud is all subnormal: up
        // to 2^1074), so it is applied in two exact steps.
        const int first = exponent > 1000 ? 1000 : exponent;
        first_ = std::ldexp(1.0, first);
        second_ = std::ldexp(1.0, exponent - first);
    }

    // floor(log2(a)) for a positive finite a: a * 2^-binade(a) lies in [1, 2).
    static int binade(double a) {
        if (a >= 0x1p-1022) return static_cast<int>(std::bit_cast<std::uint64_t>(a) >> 52) - 1023;
        return std::ilogb(a);
    }

    // v · 2^exponent; exact unless the result is subnormal.
    double operator()(double v) const { return v * first_ * second_; }
    int exponent() const { return exponent_; }

    // The exponent of the lowest set bit of a positive finite double.
    static int lowest_bit(double a) {
        const auto bits = std::bit_cast<std::uint64_t>(a);
        const int field = static_cast<int>(bits >> 52);
        const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
        if (field == 0) return -1074 + std::countr_zero(mantissa);
        return field - 1075 + std::countr_zero(mantissa | (std::uint64_t{1} << 52));
    }

private:
    int exponent_;
    bool in_exact_range_;
    double first_;
    double second_;
};

}  // namespace kavro
