#include "base/number_format.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace kestro {

namespace {

// NaN and the infinities: the same words in every form.
NumberText special_text(double value) {
    if (std::isnan(value)) {
        return NumberText("NaN");
    }
    return NumberText(value < 0 ? "-inf" : "inf");
}

// The longest shortest scientific form: "-", 17 digits, ".", "e-324".
constexpr std::size_t max_scientific_size = 32;

// Lays out the shortest scientific form ("-d.ddde+xx") as plain decimal.
// Fixed notation cannot be asked for this: for a large number it writes the
// exact binary value (1e23 as 99999999999999991611392) rather than the
// fewest significant digits that read back the same (1 and 23 zeros).
NumberText plain_from_scientific(std::string_view scientific) {
    NumberText result;
    char* out = result.data();
    std::size_t size = 0;
    const auto put = [&](char c) { out[size++] = c; };
    if (scientific.front() == '-') {
        put('-');
        scientific.remove_prefix(1);
    }
    const std::size_t exponent_at = scientific.find('e');
    std::array<char, max_scientific_size> digits{};
    std::size_t digit_count = 0;
    for (const char c : scientific.substr(0, exponent_at)) {
        if (c != '.') {
            digits[digit_count++] = c;
        }
    }
    std::string_view exponent_text = scientific.substr(exponent_at + 1);
    const bool negative_exponent = exponent_text.front() == '-';
    exponent_text.remove_prefix(1);  // the sign, always written
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    if (negative_exponent) {
        put('0');
        put('.');
        for (int zero = 1; zero < exponent; ++zero) {
            put('0');
        }
        for (std::size_t i = 0; i < digit_count; ++i) {
            put(digits[i]);
        }
    } else {
        // The first exponent + 1 digits are whole; missing ones are zeros.
        const auto whole_count = static_cast<std::size_t>(exponent) + 1;
        for (std::size_t i = 0; i < std::max(digit_count, whole_count); ++i) {
            if (i == whole_count) {
                put('.');
            }
            put(i < digit_count ? digits[i] : '0');
        }
    }
    result.set_size(size);
    return result;
}

template <class Integer>
NumberText format_int(Integer value) {
    NumberText result;
    char* first = result.data();
    const auto [end, error] = std::to_chars(first, first + NumberText::capacity, value);
    result.set_size(error == std::errc{} ? static_cast<std::size_t>(end - first) : 0);
    return result;
}

}  // namespace

NumberText format_shortest(double value) {
    if (!std::isfinite(value)) {
        return special_text(value);
    }
    std::array<char, max_scientific_size> scientific{};
    const auto [end, error] =
        std::to_chars(scientific.data(), scientific.data() + scientific.size(), value, std::chars_format::scientific);
    // The buffer holds every shortest scientific form.
    return error == std::errc{} ? plain_from_scientific({scientific.data(), end}) : NumberText{};
}

NumberText format_fixed(double value, int decimals) {
    if (!std::isfinite(value)) {
        return special_text(value);
    }
    NumberText result;
    char* first = result.data();
    const auto [end, error] =
        std::to_chars(first, first + NumberText::capacity, value, std::chars_format::fixed, decimals);
    // The capacity holds every finite double in fixed notation.
    result.set_size(error == std::errc{} ? static_cast<std::size_t>(end - first) : 0);
    return result;
}

NumberText format_integer(std::uint64_t value) { return format_int(value); }
NumberText format_integer(std::int64_t value) { return format_int(value); }

DurationText format_duration(double seconds, DurationForm form) {
    constexpr double seconds_per_minute = 60;
    constexpr std::uint64_t minutes_per_hour = 60;
    const bool countdown = form == DurationForm::countdown;
    double whole_minutes = 0;
    if (countdown) {
        if (seconds < seconds_per_minute) {
            return DurationText("under a minute");
        }
        // Far beyond any battery; keeps the conversion defined.
        constexpr double longest = 1e12;
        whole_minutes = std::trunc(std::fmin(seconds, longest) / seconds_per_minute);
    } else {
        constexpr double most_minutes = 99 * 60;
        whole_minutes = std::round(seconds / seconds_per_minute);
        if (whole_minutes < 1) {
            return DurationText("<1 min");
        }
        if (!(whole_minutes <= most_minutes)) {
            return DurationText(">99 h");
        }
    }
    const auto minutes = static_cast<std::uint64_t>(whole_minutes);
    DurationText text;
    if (minutes >= minutes_per_hour) {
        text.append(format_integer(minutes / minutes_per_hour)).append(" h");
    }
    if (minutes % minutes_per_hour != 0 || countdown) {
        text.append(minutes >= minutes_per_hour ? " " : "")
            .append(format_integer(minutes % minutes_per_hour))
            .append(" min");
    }
    return text;
}

}  // namespace kestro
