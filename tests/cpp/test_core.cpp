#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "core/error.h"
#include "core/output.h"
#include "core/point_view.h"

namespace kavro {
namespace {

TEST(DelaunayError, TextForms) {
    EXPECT_EQ(DelaunayError::not_enough_points(2).message(), "not enough distinct points (got 2)");
    EXPECT_EQ(DelaunayError::not_enough_points(18446744073709551615ull).message(),
              "not enough distinct points (got 18446744073709551615)");
    // Empty payloads keep the trailing blank of the prefix.
    EXPECT_EQ(DelaunayError::degenerate("").message(), "degenerate input: ");
    EXPECT_EQ(DelaunayError::corrupt("").message(), "internal corruption: ");
    EXPECT_EQ(DelaunayError::degenerate("all points are collinear").message(),
              "degenerate input: all points are collinear");
}

TEST(ToI32Array, ReinterpretsWithoutRangeChecks) {
    std::vector<std::array<std::uint32_t, 3>> rows = {{0, 2147483647u, 2147483648u},
                                                      {4294967295u, 1, 2}};
    I32Array a = to_i32_array(std::move(rows));
    EXPECT_EQ(a.rows, 2u);
    EXPECT_EQ(a.cols, 3u);
    EXPECT_EQ(std::vector<std::int32_t>(a.data, a.data + 6),
              (std::vector<std::int32_t>{0, 2147483647, -2147483648, -1, 1, 2}));
    EXPECT_EQ(a.at(1, 0), -1);
    EXPECT_TRUE(rows.empty());

    std::vector<std::array<std::int32_t, 4>> signed_rows = {{-1, 0, 5, -7}};
    I32Array b = to_i32_array(std::move(signed_rows));
    EXPECT_EQ(std::vector<std::int32_t>(b.data, b.data + 4), (std::vector<std::int32_t>{-1, 0, 5, -7}));

    I32Array empty = to_i32_array(std::vector<std::array<std::uint32_t, 2>>{});
    EXPECT_EQ(empty.rows, 0u);
    EXPECT_EQ(empty.cols, 2u);
    EXPECT_NE(empty.data, nullptr);
}

TEST(PointView, StridesAndWidening) {
    const float data[] = {1.5f, -2.25f, 3.0f, 0.1f, 7.0f, 8.0f};
    // Column-major view of a 3 x 2 block.
    PointView<float> v{data, 3, 2, 1, 3};
    EXPECT_EQ(v.at(0, 0), 1.5);
    EXPECT_EQ(v.at(0, 1), 0.1f);  // widened exactly, not re-rounded through a decimal
    EXPECT_EQ(v.at(2, 1), 8.0);
}

}  // namespace
}  // namespace kavro
