#include "core/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace kestro {

namespace {

NumberText from_text(std::string_view text) {
    NumberText result;
    text.copy(result.data(), text.size());
    result.set_size(text.size());
    return result;
}

// NaN, infinities: the same words in every form.
bool format_special(double value, NumberText& result) {
    if (std::isnan(value)) {
        result = from_text("NaN");
        return true;
    }
    if (std::isinf(value)) {
        result = from_text(value < 0 ? "-inf" : "inf");
        return true;
    }
    return false;
}

template <class... Options>
NumberText format_with(double value, Options... options) {
    NumberText result;
    if (format_special(value, result)) {
        return result;
    }
    char* first = result.data();
    const auto [end, error] = std::to_chars(first, first + NumberText::capacity, value, options...);
    // The capacity holds every finite double in fixed notation.
    result.set_size(error == std::errc{} ? static_cast<std::size_t>(end - first) : 0);
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

NumberText format_shortest(double value) { return format_with(value, std::chars_format::fixed); }

NumberText format_fixed(double value, int decimals) {
    return format_with(value, std::chars_format::fixed, decimals);
}

NumberText format_integer(std::uint64_t value) { return format_int(value); }
NumberText format_integer(std::int64_t value) { return format_int(value); }

}  // namespace kestro
