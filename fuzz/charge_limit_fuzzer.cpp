// The decimal integer grammar, as a charge limit file uses it, against a
// reading written from its description: one optional sign, decimal digits,
// a signed 32-bit range.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "fuzz_check.hpp"
#include "base/number_grammar.hpp"

namespace {

std::optional<std::int32_t> expected_integer(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Beyond this the magnitude is out of range whatever follows.
    constexpr std::int64_t saturated = std::int64_t{1} << 40;
    std::int64_t magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        magnitude = std::min(magnitude * 10 + (c - '0'), saturated);
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = kestro::fuzz::text_of(data, size);
    kestro::fuzz::require(kestro::parse_decimal<std::int32_t>(text) == expected_integer(text),
                          "the integer is the one the grammar describes");
    return 0;
}
