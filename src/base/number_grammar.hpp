// The grammar of decimal numbers: those in sysfs attribute files, the
// integers in a charge limit file and in JOURNAL_STREAM.
#pragma once

#include <charconv>
#include <concepts>
#include <expected>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "base/error.hpp"

namespace kestro {

// Why text is not a number: there is nothing to parse, or it is outside the grammar.
inline constexpr Error empty_number = Error::reason("cannot parse float from empty string");
inline constexpr Error invalid_number = Error::reason("invalid float literal");

// Parses already-trimmed text as a 64-bit float. Accepted, and nothing else:
// an optional "+" or "-", then either digits with an optional decimal point
// (at least one digit on one side of it) and an optional exponent ("e" or
// "E", optional sign, digits), or one of the words inf, infinity, nan in any
// letter case. No blanks, hexadecimal, "nan(...)", separators or units.
// The result is correctly rounded; a magnitude too large becomes infinite and
// one too small becomes zero, both keeping the sign. Infinity and NaN are
// returned as values: whether they are acceptable is the caller's choice.
[[nodiscard]] std::expected<double, Error> parse_attribute_number(std::string_view text);

// The whole of `text` as an integer of type T: ASCII digits, with at most
// one leading "+" or "-" for a signed type, and nothing else; none outside
// that grammar or T's range.
template <std::integral T>
[[nodiscard]] std::optional<T> parse_decimal(std::string_view text) {
    std::string_view digits = text;
    if (std::is_signed_v<T> && !digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    // from_chars takes a leading "-" but no "+".
    const std::string_view number = text.front() == '-' ? text : digits;
    T value{};
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace kestro
