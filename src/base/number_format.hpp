// Text forms of numbers, built in place without touching the heap: the daemon
// formats several numbers every cycle.
#pragma once

#include <cstdint>

#include "base/fixed_text.hpp"

namespace kestro {

// Holds the text of one number. Large enough for the longest fixed-notation
// double: 5e-324 takes 326 characters, 1.7976931348623157e308 takes 309 digits.
using NumberText = FixedText<352>;

// The shortest plain decimal that reads back as exactly the same double:
// never an exponent, no point or trailing zeros for whole numbers, "-0" for
// negative zero, "inf", "-inf", and "NaN" for every NaN.
[[nodiscard]] NumberText format_shortest(double value);

// A fixed number of decimals, as printf's "%.<decimals>f" ("57.14").
[[nodiscard]] NumberText format_fixed(double value, int decimals);

// A plain decimal integer.
[[nodiscard]] NumberText format_integer(std::uint64_t value);
[[nodiscard]] NumberText format_integer(std::int64_t value);

// Holds the longest duration text, a countdown's "277777777 h 46 min".
using DurationText = FixedText<24>;

// How a duration is put in hours and minutes.
enum class DurationForm {
    // Rounded to the nearest minute, for a person to glance at: "<1 min"
    // below 30 s, "9 min", "3 h", "3 h 12 min", ">99 h" beyond 99 h.
    rounded,
    // The whole minutes left, as the service manager's status counts down:
    // "under a minute" below 60 s, "12 min", "3 h 0 min", "3 h 12 min"
    // (no end short of about 30 000 years).
    countdown,
};

// A duration in the one form people cannot read two ways: "0:09" would pass
// for minutes and seconds. Seconds must not be negative or NaN.
[[nodiscard]] DurationText format_duration(double seconds, DurationForm form = DurationForm::rounded);

}  // namespace kestro
