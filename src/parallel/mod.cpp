#include "parallel/mod.h"

#include <cstdlib>

namespace kavro::par {

std::optional<std::uint64_t> parse_setting(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    // Covers "", "+" and "-" alike: nothing left to read (or a '-' below) is malformed.
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

std::uint64_t read_setting(const char* name, std::uint64_t fallback) {
    const char* raw = std::getenv(name);
    if (!raw) return fallback;
    // A non-UTF-8 value cannot be all ASCII digits, so the digit rule refuses it too.
    return parse_setting(raw).value_or(fallback);
}

}  // namespace

ParConfig ParConfig::from_env(std::uint64_t default_block_target) {
    ParConfig config{};
    config.min_points = read_setting("KAVRO_PARALLEL_MIN_POINTS", kDefaultMinPoints);
    config.block_target = read_setting("KAVRO_PARALLEL_BLOCK_TARGET", default_block_target);
    return config;
}

}  // namespace kavro::par
