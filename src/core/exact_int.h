// Exact signed integers for the rare computations that no double arithmetic can hold: the
// wide predicates' determinants over coordinates whose bits span the whole double range,
// and the circumradius of a simplex whose float formula breaks down. Only those last
// resorts use them, so clarity wins over speed: a value is a magnitude in 64-bit limbs,
// least significant first, with no leading zero limb, and a sign; an insphere over the
// whole double range needs about 170 limbs per value.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/scaling.h"

namespace kavro {

class ExactInt {
public:
    ExactInt() = default;

    // v / 2^unit for a finite v whose lowest set bit is at or above 2^unit.
    static ExactInt of(double v, int unit) {
        ExactInt r;
        if (v == 0.0) return r;
        const double a = std::fabs(v);
        const int low = PowerOfTwoScale::lowest_bit(a);
        // a = odd * 2^low with odd below 2^53.
        const auto odd = static_cast<std::uint64_t>(std::ldexp(a, -low));
        const int shift = low - unit;
        r.mag_.assign(static_cast<std::size_t>(shift / 64) + 2, 0);
        r.mag_[static_cast<std::size_t>(shift / 64)] = odd << (shift % 64);
        if (shift % 64 != 0) r.mag_[static_cast<std::size_t>(shift / 64) + 1] = odd >> (64 - shift % 64);
        r.negative_ = v < 0.0;
        r.trim();
        return r;
    }

    int sign() const { return mag_.empty() ? 0 : (negative_ ? -1 : 1); }

    // |value| as m * 2^exponent with m a double in [1, 2), within a few units of m's last
    // place (the top 128 bits, rounded twice); m = 0 for zero.
    double magnitude(int& exponent) const {
        exponent = 0;
        if (mag_.empty()) return 0.0;
        const std::size_t n = mag_.size();
        const double top = static_cast<double>(mag_[n - 1]);
        const double next = n > 1 ? static_cast<double>(mag_[n - 2]) : 0.0;
        const double v = top + std::ldexp(next, -64);
        const int b = PowerOfTwoScale::binade(v);
        exponent = b + 64 * static_cast<int>(n - 1);
        return std::ldexp(v, -b);
    }

    friend ExactInt operator+(const ExactInt& a, const ExactInt& b) { return add(a, b, b.negative_); }
    friend ExactInt operator-(const ExactInt& a, const ExactInt& b) { return add(a, b, !b.negative_); }

    friend ExactInt operator*(const ExactInt& a, const ExactInt& b) {
        ExactInt r;
        if (a.mag_.empty() || b.mag_.empty()) return r;
        r.mag_.assign(a.mag_.size() + b.mag_.size(), 0);
        for (std::size_t i = 0; i < a.mag_.size(); ++i) {
            unsigned __int128 carry = 0;
            for (std::size_t j = 0; j < b.mag_.size(); ++j) {
                carry += static_cast<unsigned __int128>(a.mag_[i]) * b.mag_[j] + r.mag_[i + j];
                r.mag_[i + j] = static_cast<std::uint64_t>(carry);
                carry >>= 64;
            }
            r.mag_[i + b.mag_.size()] = static_cast<std::uint64_t>(carry);
        }
        r.negative_ = a.negative_ != b.negative_;
        r.trim();
        return r;
    }

private:
    // a + b with b's sign taken as b_negative.
    static ExactInt add(const ExactInt& a, const ExactInt& b, bool b_negative) {
        if (a.negative_ == b_negative) {
            ExactInt r = add_magnitudes(a, b);
            r.negative_ = b_negative;
            return r;
        }
        const int c = compare_magnitudes(a, b);
        if (c == 0) return ExactInt();
        ExactInt r = c > 0 ? subtract_magnitudes(a, b) : subtract_magnitudes(b, a);
        r.negative_ = c > 0 ? a.negative_ : b_negative;
        return r;
    }

    static ExactInt add_magnitudes(const ExactInt& a, const ExactInt& b) {
        const ExactInt& l = a.mag_.size() >= b.mag_.size() ? a : b;
        const ExactInt& s = a.mag_.size() >= b.mag_.size() ? b : a;
        ExactInt r;
        r.mag_.resize(l.mag_.size() + 1);
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < l.mag_.size(); ++i) {
            const std::uint64_t x = l.mag_[i];
            const std::uint64_t y = i < s.mag_.size() ? s.mag_[i] : 0;
            const std::uint64_t t = x + y;
            const std::uint64_t u = t + carry;
            carry = (t < x) + (u < t);
            r.mag_[i] = u;
        }
        r.mag_.back() = carry;
        r.trim();
        return r;
    }

    // |a| - |b| for |a| > |b|.
    static ExactInt subtract_magnitudes(const ExactInt& a, const ExactInt& b) {
        ExactInt r;
        r.mag_.resize(a.mag_.size());
        std::uint64_t borrow = 0;
        for (std::size_t i = 0; i < a.mag_.size(); ++i) {
            const std::uint64_t x = a.mag_[i];
            const std::uint64_t y = i < b.mag_.size() ? b.mag_[i] : 0;
            const std::uint64_t t = x - y;
            const std::uint64_t u = t - borrow;
            borrow = (x < y) + (t < borrow);
            r.mag_[i] = u;
        }
        r.trim();
        return r;
    }

    static int compare_magnitudes(const ExactInt& a, const ExactInt& b) {
        if (a.mag_.size() != b.mag_.size()) return a.mag_.size() < b.mag_.size() ? -1 : 1;
        for (std::size_t i = a.mag_.size(); i-- > 0;) {
            if (a.mag_[i] != b.mag_[i]) return a.mag_[i] < b.mag_[i] ? -1 : 1;
        }
        return 0;
    }

    void trim() {
        while (!mag_.empty() && mag_.back() == 0) mag_.pop_back();
    }

    std::vector<std::uint64_t> mag_;
    bool negative_ = false;
};

}  // namespace kavro
