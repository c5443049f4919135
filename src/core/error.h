// The kernels' error value. Computation code never throws for bad input: it returns one of
// these, and only the Python layer turns it into an exception.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace kavro {

struct DelaunayError {
    struct NotEnoughPoints {
        std::uint64_t count;
    };
    struct Degenerate {
        std::string text;
    };
    struct Corrupt {
        std::string text;
    };

    std::variant<NotEnoughPoints, Degenerate, Corrupt> value;

    static DelaunayError not_enough_points(std::uint64_t count) { return {NotEnoughPoints{count}}; }
    static DelaunayError degenerate(std::string text) { return {Degenerate{std::move(text)}}; }
    static DelaunayError corrupt(std::string text) { return {Corrupt{std::move(text)}}; }
    // Inputs above MAX_POINTS get this text, from the build functions and from both kernels.
    static DelaunayError too_many_points(std::uint64_t count);

    // "not enough distinct points (got N)", "degenerate input: ...", "internal corruption: ..."
    std::string message() const;
};

// A value or an error: a DelaunayError for the builds, a plain text for the queries.
template <class T, class E = DelaunayError>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(E error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    E& error() { return std::get<1>(v_); }
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace kavro
