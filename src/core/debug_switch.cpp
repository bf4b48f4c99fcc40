#include "core/debug_switch.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "base/utf8.hpp"

namespace kestro {

bool debug_switch_from(const char* value) {
    if (value == nullptr) {
        return false;
    }
    const std::string_view text(value);
    if (!is_valid_utf8(text)) {
        return false;
    }
    // Full Unicode lower-casing maps no character outside ASCII onto '1',
    // 'y', 'e' or 's' (the Kelvin sign becomes 'k', dotted capital I becomes
    // two code points), so folding ASCII letters decides exactly the same.
    constexpr std::array<std::string_view, 3> accepted = {"1", "y", "yes"};
    return std::ranges::any_of(accepted, [&](std::string_view word) { return equals_folding_ascii_case(text, word); });
}

}  // namespace kestro
