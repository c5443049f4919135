// Parallel build: its settings and its progress events. The block pipeline and the entry
// points that use them build on this header.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace kavro::par {

// Settings of one parallel call, read from the environment on every call (never cached,
// so a change takes effect with the next call).
struct ParConfig {
    // Inputs with fewer rows (duplicates included) go to the sequential kernel, no grid.
    std::uint64_t min_points;
    // Target count of distinct points per block; 0 acts as 1 when blocks are cut.
    std::uint64_t block_target;

    static constexpr std::uint64_t kDefaultMinPoints = 100000;
    static constexpr std::uint64_t kDefaultBlockTarget2d = 150000;
    static constexpr std::uint64_t kDefaultBlockTarget3d = 125000;

    // KAVRO_PARALLEL_MIN_POINTS, then KAVRO_PARALLEL_BLOCK_TARGET; an unset, empty,
    // malformed or overflowing value silently gives the default.
    static ParConfig from_env(std::uint64_t default_block_target);
};

// An unsigned 64-bit decimal with an optional leading '+', nothing trimmed; any other
// character (a space, '-', '_', '.', a second sign, a non-ASCII byte) or a value above
// 2^64 - 1 gives nullopt. Leading zeros are allowed at any length.
std::optional<std::uint64_t> parse_setting(std::string_view text);

// One progress event of a parallel build, passed by value. Counts are blocks.
struct ParProgress {
    enum class Kind : std::uint8_t {
        BlocksStarted,  // total: the block phase is about to start
        BlockDone,      // done of total blocks have finished (this one included)
        Crust,          // all blocks finished; the crust phase starts
        Merge,          // the crust phase succeeded; the merge starts
        Fallback,       // the sequential kernel is about to run on the whole input
        Done,           // the build is finished, whatever its outcome
    };
    Kind kind;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
};

// Receives every event of one build. It may be called from the calling thread and from
// pool workers, but the build never lets two calls overlap; it cannot change the build.
using ProgressSink = std::function<void(ParProgress)>;

}  // namespace kavro::par
