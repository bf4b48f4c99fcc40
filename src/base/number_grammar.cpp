#include "base/number_grammar.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "base/utf8.hpp"

namespace kestro {

namespace {

// Far beyond any exponent that matters for a double, far below overflow of
// the sums below.
constexpr std::int64_t exponent_saturation = 1'000'000'000'000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t count_digits(std::string_view text, std::size_t from) {
    std::size_t end = from;
    while (end < text.size() && is_digit(text[end])) {
        ++end;
    }
    return end - from;
}

// The pieces of a decimal number that the grammar accepted.
struct DecimalParts {
    std::string_view integer_digits;
    std::string_view fraction_digits;
    std::int64_t exponent = 0;  // saturated
};

// Splits unsigned decimal text into its parts, or fails when the text is
// outside the grammar.
std::expected<DecimalParts, Error> split_decimal(std::string_view text) {
    DecimalParts parts;
    std::size_t at = 0;
    const std::size_t integer_count = count_digits(text, at);
    parts.integer_digits = text.substr(at, integer_count);
    at += integer_count;
    if (at < text.size() && text[at] == '.') {
        ++at;
        const std::size_t fraction_count = count_digits(text, at);
        parts.fraction_digits = text.substr(at, fraction_count);
        at += fraction_count;
    }
    if (parts.integer_digits.empty() && parts.fraction_digits.empty()) {
        return std::unexpected(invalid_number);
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        bool negative_exponent = false;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            negative_exponent = text[at] == '-';
            ++at;
        }
        const std::size_t exponent_count = count_digits(text, at);
        if (exponent_count == 0) {
            return std::unexpected(invalid_number);
        }
        for (const char digit : text.substr(at, exponent_count)) {
            parts.exponent = std::min(parts.exponent * 10 + (digit - '0'), exponent_saturation);
        }
        if (negative_exponent) {
            parts.exponent = -parts.exponent;
        }
        at += exponent_count;
    }
    if (at != text.size()) {
        return std::unexpected(invalid_number);
    }
    return parts;
}

// The power of ten of the first significant digit. Only its sign is used, to
// tell an overflow from an underflow, both of which lie hundreds of powers
// away from zero.
std::int64_t leading_power_of_ten(const DecimalParts& parts) {
    const std::size_t integer_zeros = parts.integer_digits.find_first_not_of('0');
    if (integer_zeros != std::string_view::npos) {
        return static_cast<std::int64_t>(parts.integer_digits.size() - integer_zeros - 1) + parts.exponent;
    }
    const std::size_t fraction_zeros = parts.fraction_digits.find_first_not_of('0');
    if (fraction_zeros != std::string_view::npos) {
        return -static_cast<std::int64_t>(fraction_zeros + 1) + parts.exponent;
    }
    return std::numeric_limits<std::int64_t>::min();  // all zeros
}

}  // namespace

std::expected<double, Error> parse_attribute_number(std::string_view text) {
    if (text.empty()) {
        return std::unexpected(empty_number);
    }
    const bool negative = text.front() == '-';
    std::string_view magnitude = text;
    if (text.front() == '+' || text.front() == '-') {
        magnitude.remove_prefix(1);
    }
    const double sign = negative ? -1.0 : 1.0;
    if (equals_folding_ascii_case(magnitude, "inf") || equals_folding_ascii_case(magnitude, "infinity")) {
        return sign * std::numeric_limits<double>::infinity();
    }
    if (equals_folding_ascii_case(magnitude, "nan")) {
        return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
    }
    const auto parts = split_decimal(magnitude);
    if (!parts) {
        return std::unexpected(parts.error());
    }
    // from_chars takes a leading "-" but no "+"; it is correctly rounded and
    // reads any number of digits.
    const std::string_view number = negative ? text : magnitude;
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (end != number.data() + number.size()) {
        return std::unexpected(invalid_number);
    }
    if (error == std::errc::result_out_of_range) {
        // from_chars leaves the value alone when it overflows or underflows.
        const bool overflow = leading_power_of_ten(*parts) >= 0;
        return sign * (overflow ? std::numeric_limits<double>::infinity() : 0.0);
    }
    if (error != std::errc()) {
        return std::unexpected(invalid_number);
    }
    return value;
}

}  // namespace kestro
