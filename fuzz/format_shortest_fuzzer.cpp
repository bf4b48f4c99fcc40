// format_shortest on every double: plain decimal that reads back bit for
// bit (through strtod and through the daemon's own attribute grammar), with
// as few significant digits as the shortest scientific form.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/number_format.hpp"
#include "fuzz_check.hpp"
#include "base/number_grammar.hpp"

namespace {

using kestro::fuzz::require;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The significant digits of decimal text: sign, point, exponent and the
// zeros at either end left out.
std::string significant_digits(std::string_view text) {
    text = text.substr(0, text.find_first_of("eE"));
    std::string digits;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        return "0";
    }
    return digits.substr(first, digits.find_last_not_of('0') - first + 1);
}

void check_plain_decimal(std::string_view text) {
    std::string_view magnitude = text;
    if (!magnitude.empty() && magnitude.front() == '-') {
        magnitude.remove_prefix(1);
    }
    require(!magnitude.empty(), "there are digits");
    const std::size_t point = magnitude.find('.');
    const std::string_view integer = magnitude.substr(0, point);
    require(!integer.empty() && integer.find_first_not_of("0123456789") == std::string_view::npos,
            "digits before any point, and no exponent");
    require(integer.size() == 1 || integer.front() != '0', "no leading zero");
    if (point != std::string_view::npos) {
        const std::string_view fraction = magnitude.substr(point + 1);
        require(!fraction.empty() && fraction.find_first_not_of("0123456789") == std::string_view::npos,
                "digits after the point");
        require(fraction.back() != '0', "no trailing zero after the point");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    double value = 0;
    if (size != sizeof value) {
        return 0;
    }
    std::memcpy(&value, data, sizeof value);
    const kestro::NumberText formatted = kestro::format_shortest(value);
    const std::string_view text = formatted;
    if (std::isnan(value)) {
        require(text == "NaN", "every NaN is NaN");
        return 0;
    }
    if (std::isinf(value)) {
        require(text == (value < 0 ? "-inf" : "inf"), "infinities are inf and -inf");
        return 0;
    }
    check_plain_decimal(text);
    const std::string terminated(text);
    char* end = nullptr;
    const double read_back = std::strtod(terminated.c_str(), &end);
    require(end == terminated.c_str() + terminated.size() && same_bits(read_back, value),
            "strtod reads back the same double");
    const auto parsed = kestro::parse_attribute_number(text);
    require(parsed && same_bits(*parsed, value), "the attribute grammar reads back the same double");
    std::array<char, 64> shortest{};
    const auto result = std::to_chars(shortest.data(), shortest.data() + shortest.size(), value,
                                      std::chars_format::scientific);
    require(result.ec == std::errc(), "the scientific form fits");
    require(significant_digits(text) == significant_digits({shortest.data(), result.ptr}),
            "as few significant digits as the shortest form");
    return 0;
}
