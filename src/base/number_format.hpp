// Text forms of numbers, built in place without touching the heap: the daemon
// formats several numbers every cycle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestro {

// Holds the text of one number. Large enough for the longest fixed-notation
// double: 5e-324 takes 326 characters, 1.7976931348623157e308 takes 309 digits.
class NumberText {
public:
    static constexpr std::size_t capacity = 352;

    [[nodiscard]] std::string_view view() const { return {chars_.data(), size_}; }
    operator std::string_view() const { return view(); }  // NOLINT: reads like text

    // Filled by the functions below.
    char* data() { return chars_.data(); }
    void set_size(std::size_t size) { size_ = size; }

private:
    std::array<char, capacity> chars_{};
    std::size_t size_ = 0;
};

// The shortest plain decimal that reads back as exactly the same double:
// never an exponent, no point or trailing zeros for whole numbers, "-0" for
// negative zero, "inf", "-inf", and "NaN" for every NaN.
[[nodiscard]] NumberText format_shortest(double value);

// A fixed number of decimals, as printf's "%.<decimals>f" ("57.14").
[[nodiscard]] NumberText format_fixed(double value, int decimals);

// A plain decimal integer.
[[nodiscard]] NumberText format_integer(std::uint64_t value);
[[nodiscard]] NumberText format_integer(std::int64_t value);

}  // namespace kestro
