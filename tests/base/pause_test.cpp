#include "base/pause.hpp"

#include <cstdint>
#include <limits>
#include <string_view>

#include <gtest/gtest.h>

namespace kestro {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

constexpr std::string_view negative_message = "cannot convert float seconds to Duration: value is negative";
constexpr std::string_view oversized_message =
    "cannot convert float seconds to Duration: value is either too big or NaN";

struct WaitCase {
    double secs;
    std::uint64_t seconds;
    std::uint32_t nanoseconds;
};

class WaitFromSecs : public testing::TestWithParam<WaitCase> {};

TEST_P(WaitFromSecs, RoundsToTheNearestNanosecond) {
    const auto wait = wait_duration_from_secs(GetParam().secs);
    ASSERT_TRUE(wait.has_value()) << wait.error().text().view();
    EXPECT_EQ(wait->seconds, GetParam().seconds);
    EXPECT_EQ(wait->nanoseconds, GetParam().nanoseconds);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitFromSecs,
    testing::Values(WaitCase{0.0, 0, 0}, WaitCase{-0.0, 0, 0}, WaitCase{10.0, 10, 0},
                    WaitCase{1.5, 1, 500000000}, WaitCase{0.1, 0, 100000000},
                    WaitCase{2.000000001, 2, 1}, WaitCase{1e-10, 0, 0}, WaitCase{6e-10, 0, 1},
                    // Exact halves go to the even neighbour: 976562.5 and 2929687.5 ns.
                    WaitCase{0x1p-10, 0, 976562}, WaitCase{0x3p-10, 0, 2929688},
                    // Rounding up into the next second.
                    WaitCase{1.0 - 0x1p-53, 1, 0}, WaitCase{0x1p52 - 0.5, 4503599627370495, 500000000},
                    WaitCase{std::numeric_limits<double>::denorm_min(), 0, 0},
                    WaitCase{0x1p63, 9223372036854775808u, 0},
                    // The largest double below 2^64.
                    WaitCase{0x1p64 - 2048.0, 18446744073709549568u, 0}));

TEST(WaitFromSecsErrors, NegativeTooBigAndNaN) {
    for (const double secs : {-1.0, -1e-300, -inf}) {
        const auto wait = wait_duration_from_secs(secs);
        ASSERT_FALSE(wait.has_value()) << secs;
        EXPECT_EQ(wait.error().text().view(), negative_message) << secs;
    }
    for (const double secs : {0x1p64, 1e300, inf, nan, -nan}) {
        const auto wait = wait_duration_from_secs(secs);
        ASSERT_FALSE(wait.has_value()) << secs;
        EXPECT_EQ(wait.error().text().view(), oversized_message) << secs;
    }
}

}  // namespace
}  // namespace kestro
