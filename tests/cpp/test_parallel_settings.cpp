#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "parallel/mod.h"

namespace kavro::par {
namespace {

TEST(ParseSetting, AcceptsPlainAndPlusSignedDecimals) {
    EXPECT_EQ(parse_setting("250"), 250u);
    EXPECT_EQ(parse_setting("+250"), 250u);
    EXPECT_EQ(parse_setting("0"), 0u);
    // Length alone never overflows: 22 zeros then 42.
    EXPECT_EQ(parse_setting("000000000000000000000042"), 42u);
    EXPECT_EQ(parse_setting("18446744073709551615"), 18446744073709551615ull);
}

TEST(ParseSetting, RefusesEverythingElse) {
    for (const char* bad : {"", "+", "-", "-250", "++250", "+-1", " 250", "250 ", "2 50", "2_500",
                            "0x10", "1e5", "2.5", "\t1", "18446744073709551616",
                            "99999999999999999999", "\xc3\xa9"}) {
        EXPECT_EQ(parse_setting(bad), std::nullopt) << "'" << bad << "'";
    }
}

TEST(ParConfig, ReadsBothVariablesOnEveryCall) {
    unsetenv("KAVRO_PARALLEL_MIN_POINTS");
    unsetenv("KAVRO_PARALLEL_BLOCK_TARGET");
    ParConfig c = ParConfig::from_env(ParConfig::kDefaultBlockTarget2d);
    EXPECT_EQ(c.min_points, 100000u);
    EXPECT_EQ(c.block_target, 150000u);
    EXPECT_EQ(ParConfig::from_env(ParConfig::kDefaultBlockTarget3d).block_target, 125000u);

    setenv("KAVRO_PARALLEL_MIN_POINTS", "0", 1);
    setenv("KAVRO_PARALLEL_BLOCK_TARGET", "2_500", 1);
    c = ParConfig::from_env(ParConfig::kDefaultBlockTarget3d);
    EXPECT_EQ(c.min_points, 0u);
    EXPECT_EQ(c.block_target, 125000u);

    setenv("KAVRO_PARALLEL_BLOCK_TARGET", "+7", 1);
    EXPECT_EQ(ParConfig::from_env(ParConfig::kDefaultBlockTarget2d).block_target, 7u);
    unsetenv("KAVRO_PARALLEL_MIN_POINTS");
    unsetenv("KAVRO_PARALLEL_BLOCK_TARGET");
}

}  // namespace
}  // namespace kavro::par
