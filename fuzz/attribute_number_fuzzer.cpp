// The number grammar of attribute files against a recogniser written from
// its description, and its values against the C library's strtod.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.hpp"
#include "base/number_grammar.hpp"

namespace {

using kestro::fuzz::require;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower_word[i]) {
            return false;
        }
    }
    return true;
}

std::size_t skip_digits(std::string_view text, std::size_t at) {
    while (at < text.size() && is_digit(text[at])) {
        ++at;
    }
    return at;
}

// sign? ( inf | infinity | nan | digits [. digits] with a digit somewhere ) (e sign? digits)?
bool in_grammar(std::string_view text) {
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        ++at;
    }
    const std::string_view rest = text.substr(at);
    if (equals_ignoring_case(rest, "inf") || equals_ignoring_case(rest, "infinity") ||
        equals_ignoring_case(rest, "nan")) {
        return true;
    }
    const std::size_t integer_end = skip_digits(text, at);
    std::size_t digits = integer_end - at;
    at = integer_end;
    if (at < text.size() && text[at] == '.') {
        const std::size_t fraction_end = skip_digits(text, at + 1);
        digits += fraction_end - (at + 1);
        at = fraction_end;
    }
    if (digits == 0) {
        return false;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            ++at;
        }
        const std::size_t exponent_end = skip_digits(text, at);
        if (exponent_end == at) {
            return false;
        }
        at = exponent_end;
    }
    return at == text.size();
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = kestro::fuzz::text_of(data, size);
    const auto parsed = kestro::parse_attribute_number(text);
    if (text.empty()) {
        require(!parsed && parsed.error() == kestro::empty_number, "empty text is the empty error");
        return 0;
    }
    if (!in_grammar(text)) {
        require(!parsed && parsed.error() == kestro::invalid_number, "text outside the grammar is invalid");
        return 0;
    }
    require(parsed.has_value(), "text in the grammar parses");
    // strtod reads the same grammar (and more), correctly rounded, in the C locale.
    const std::string terminated(text);
    char* end = nullptr;
    const double expected = std::strtod(terminated.c_str(), &end);
    require(end == terminated.c_str() + terminated.size(), "strtod reads the whole text");
    if (std::isnan(expected)) {
        require(std::isnan(*parsed) && std::signbit(*parsed) == std::signbit(expected), "NaN keeps its sign");
    } else {
        require(same_bits(*parsed, expected), "the value is strtod's, bit for bit");
    }
    return 0;
}
