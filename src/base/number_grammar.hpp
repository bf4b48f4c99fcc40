// The grammar of the numbers in sysfs attribute files.
#pragma once

#include <expected>
#include <string_view>

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

}  // namespace kestro
