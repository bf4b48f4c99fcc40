#include "base/number_format.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace kestro {
namespace {

struct ShortestCase {
    double value;
    std::string text;
};

class FormatShortest : public testing::TestWithParam<ShortestCase> {};

TEST_P(FormatShortest, WritesPlainShortestDecimal) {
    EXPECT_EQ(format_shortest(GetParam().value).view(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatShortest,
    testing::Values(ShortestCase{10, "10"}, ShortestCase{10.5, "10.5"},
                    ShortestCase{0.49999998, "0.49999998"},
                    ShortestCase{400.0 / 7.0, "57.142857142857146"},
                    ShortestCase{1e-7, "0.0000001"},
                    ShortestCase{1e21, "1000000000000000000000"},
                    // Not the exact binary values (99999999999999991611392, ...).
                    ShortestCase{1e23, "100000000000000000000000"},
                    ShortestCase{-9.214974021801599e+303, "-9214974021801599" + std::string(288, '0')},
                    ShortestCase{123456789012345678.0, "123456789012345680"},
                    ShortestCase{18446744073709549568.0, "18446744073709550000"},
                    ShortestCase{0.001, "0.001"}, ShortestCase{1.5, "1.5"}, ShortestCase{12345.678, "12345.678"},
                    ShortestCase{0.1 + 0.2, "0.30000000000000004"}, ShortestCase{1, "1"},
                    ShortestCase{0, "0"}, ShortestCase{-0.0, "-0"}, ShortestCase{-3, "-3"},
                    ShortestCase{150, "150"},
                    ShortestCase{std::numeric_limits<double>::infinity(), "inf"},
                    ShortestCase{-std::numeric_limits<double>::infinity(), "-inf"},
                    ShortestCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    ShortestCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

TEST(FormatShortestExtremes, LargestAndSmallestRoundTrip) {
    for (const double value : {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                               std::numeric_limits<double>::min()}) {
        const std::string text(format_shortest(value).view());
        EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    }
    EXPECT_EQ(format_shortest(std::numeric_limits<double>::max()).view(), "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(format_shortest(std::numeric_limits<double>::denorm_min()).view().size(), 326u);
}

TEST(FormatFixed, RoundsToTheGivenDecimals) {
    EXPECT_EQ(format_fixed(400.0 / 7.0, 2).view(), "57.14");
    EXPECT_EQ(format_fixed(57.2, 3).view(), "57.200");
    EXPECT_EQ(format_fixed(-1, 3).view(), "-1.000");
    EXPECT_EQ(format_fixed(std::numeric_limits<double>::quiet_NaN(), 2).view(), "NaN");
    EXPECT_EQ(format_fixed(-std::numeric_limits<double>::max(), 3).view().size(), 314u);
}

TEST(FormatInteger, WritesDecimal) {
    EXPECT_EQ(format_integer(std::uint64_t{18446744073709551615u}).view(), "18446744073709551615");
    EXPECT_EQ(format_integer(std::int64_t{-61}).view(), "-61");
}

}  // namespace
}  // namespace kestro
