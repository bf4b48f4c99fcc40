#include "base/number_grammar.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace kestro {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct NumberCase {
    std::string name;
    std::string text;
    std::expected<double, Error> expected;
};

std::unexpected<Error> invalid() { return std::unexpected(invalid_number); }

class AttributeNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(AttributeNumber, ParsesExactlyTheGrammar) {
    const auto& expected = GetParam().expected;
    const auto parsed = parse_attribute_number(GetParam().text);
    ASSERT_EQ(parsed.has_value(), expected.has_value()) << GetParam().text;
    if (!expected) {
        EXPECT_EQ(parsed.error(), expected.error());
    } else if (std::isnan(*expected)) {
        EXPECT_TRUE(std::isnan(*parsed)) << *parsed;
    } else {
        // Bit for bit: correct rounding and the sign of zero both count.
        EXPECT_EQ(std::bit_cast<std::uint64_t>(*parsed), std::bit_cast<std::uint64_t>(*expected))
            << *parsed << " != " << *expected;
    }
}

std::string repeated(char c, std::size_t count) { return std::string(count, c); }

INSTANTIATE_TEST_SUITE_P(
    Accepted, AttributeNumber,
    testing::Values(
        NumberCase{"Integer", "3900000", 3900000.0}, NumberCase{"Negative", "-1250000", -1250000.0},
        NumberCase{"Exponent", "1e3", 1000.0}, NumberCase{"UpperExponent", "1E3", 1000.0},
        NumberCase{"SignedExponent", "1e+3", 1000.0}, NumberCase{"NegativeExponent", "25e-1", 2.5},
        NumberCase{"Fraction", "1000.0", 1000.0}, NumberCase{"Plus", "+5", 5.0},
        NumberCase{"PointFirst", ".5", 0.5}, NumberCase{"PointLast", "5.", 5.0},
        NumberCase{"NegativeZero", "-0", -0.0}, NumberCase{"LeadingZeros", "007", 7.0},
        NumberCase{"NearestOfOneTenth", "0.1", 0.1},
        NumberCase{"TieToEven", "9007199254740993", 9007199254740992.0},
        NumberCase{"JustAboveTie", "9007199254740993.000000000000000000000000001", 9007199254740994.0},
        NumberCase{"LongDigitsScaledBack", "1" + repeated('0', 5000) + "e-5000", 1.0},
        NumberCase{"LongFractionScaledUp", "0." + repeated('0', 300) + "1e600", 1e299},
        NumberCase{"Largest", "1.7976931348623157e308", std::numeric_limits<double>::max()},
        NumberCase{"Denormal", "4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        NumberCase{"DenormalRoundedUp", "2.4703282292062328e-324", std::numeric_limits<double>::denorm_min()},
        NumberCase{"LargestDenormal", "2.2250738585072009e-308", 2.2250738585072009e-308},
        NumberCase{"ZeroWithHugeExponent", "0e99999999999999999999", 0.0}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, AttributeNumber,
    testing::Values(NumberCase{"Overflow", "1e999", infinity}, NumberCase{"NegativeOverflow", "-1e999", -infinity},
                    NumberCase{"JustAboveLargest", "1.7976931348623159e308", infinity},
                    NumberCase{"LongDigitsOverflow", "1" + repeated('0', 400), infinity},
                    NumberCase{"SaturatedExponent", "1e99999999999999999999999", infinity},
                    NumberCase{"Underflow", "1e-400", 0.0}, NumberCase{"NegativeUnderflow", "-1e-400", -0.0},
                    NumberCase{"BelowHalfTheSmallest", "2.4703282292062327e-324", 0.0},
                    NumberCase{"LongFractionUnderflow", "0." + repeated('0', 400) + "1", 0.0},
                    NumberCase{"SaturatedNegativeExponent", "1e-99999999999999999999999", 0.0}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Words, AttributeNumber,
    testing::Values(NumberCase{"Inf", "inf", infinity}, NumberCase{"UpperInf", "INF", infinity},
                    NumberCase{"MinusInf", "-inf", -infinity}, NumberCase{"PlusInf", "+inf", infinity},
                    NumberCase{"Infinity", "infinity", infinity}, NumberCase{"MixedInfinity", "InFiNiTy", infinity},
                    NumberCase{"Nan", "nan", nan}, NumberCase{"UpperNan", "NAN", nan},
                    NumberCase{"MinusNan", "-nan", nan}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Refused, AttributeNumber,
    testing::Values(
        NumberCase{"Empty", "", std::unexpected(empty_number)}, NumberCase{"Unit", "12 mA", invalid()},
        NumberCase{"Hexadecimal", "0x10", invalid()}, NumberCase{"HexadecimalFloat", "0x1p3", invalid()},
        NumberCase{"PointAlone", ".", invalid()}, NumberCase{"ExponentAlone", "e5", invalid()},
        NumberCase{"ExponentWithoutDigits", "1e", invalid()}, NumberCase{"ExponentSignOnly", "1e+", invalid()},
        NumberCase{"PointBeforeExponentOnly", ".e5", invalid()}, NumberCase{"NanPayload", "nan(1)", invalid()},
        NumberCase{"InnerBlank", "1 000", invalid()}, NumberCase{"LeadingBlank", " 5", invalid()},
        NumberCase{"TrailingNewline", "5\n", invalid()}, NumberCase{"SignOnly", "-", invalid()},
        NumberCase{"PlusOnly", "+", invalid()}, NumberCase{"TwoSigns", "+-5", invalid()},
        NumberCase{"DoubleMinus", "--5", invalid()}, NumberCase{"TwoPoints", "5.5.5", invalid()},
        NumberCase{"FractionalExponent", "1e5.5", invalid()}, NumberCase{"Separator", "1_000", invalid()},
        NumberCase{"Comma", "1,5", invalid()}, NumberCase{"TruncatedWord", "infinit", invalid()},
        NumberCase{"LongerWord", "infinityy", invalid()}, NumberCase{"SignedWordTwice", "--inf", invalid()},
        NumberCase{"ArabicIndicDigits", "\xd9\xa1\xd9\xa2", invalid()}, NumberCase{"Nul", std::string("5\0", 2), invalid()},
        NumberCase{"TrailingGarbage", "3900000x", invalid()}),
    [](const auto& info) { return info.param.name; });

struct IntegerCase {
    std::string text;
    std::optional<std::int32_t> value;
};

class DecimalInteger : public testing::TestWithParam<IntegerCase> {};

TEST_P(DecimalInteger, TakesOneSignAndDigitsWithinThirtyTwoBits) {
    EXPECT_EQ(parse_decimal<std::int32_t>(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalInteger,
    testing::Values(IntegerCase{"80", 80}, IntegerCase{"+75", 75}, IntegerCase{"-5", -5}, IntegerCase{"0", 0},
                    IntegerCase{"+0", 0}, IntegerCase{"-0", 0}, IntegerCase{"007", 7},
                    IntegerCase{"2147483647", std::numeric_limits<std::int32_t>::max()},
                    IntegerCase{"-2147483648", std::numeric_limits<std::int32_t>::min()},
                    IntegerCase{"2147483648", std::nullopt}, IntegerCase{"-2147483649", std::nullopt},
                    IntegerCase{"99999999999999999999", std::nullopt}, IntegerCase{"", std::nullopt},
                    IntegerCase{"+", std::nullopt}, IntegerCase{"-", std::nullopt}, IntegerCase{"++5", std::nullopt},
                    IntegerCase{"+-5", std::nullopt}, IntegerCase{"--5", std::nullopt},
                    IntegerCase{"80.0", std::nullopt}, IntegerCase{"8 0", std::nullopt},
                    IntegerCase{"80%", std::nullopt}, IntegerCase{"0x50", std::nullopt},
                    IntegerCase{"1e2", std::nullopt}, IntegerCase{"eighty", std::nullopt},
                    IntegerCase{"\xd9\xa8\xd9\xa0", std::nullopt}));  // Arabic-Indic 80

TEST(NumberParseReason, NamesTheFailure) {
    EXPECT_EQ(empty_number.text().view(), "cannot parse float from empty string");
    EXPECT_EQ(invalid_number.text().view(), "invalid float literal");
}

}  // namespace
}  // namespace kestro
