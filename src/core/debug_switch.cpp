#include "core/debug_switch.hpp"

#include <string_view>

#include "base/utf8.hpp"

namespace kestro {

bool debug_switch_from(const char* value) {
    if (value == nullptr) {
        return false;
    }
    const std::string_view text(value);
    if (!is_valid_utf8(text) || text.empty() || text.size() > 3) {
        return false;
    }
    // Full Unicode lower-casing maps no character outside ASCII onto '1',
    // 'y', 'e' or 's' (the Kelvin sign becomes 'k', dotted capital I becomes
    // two code points), so folding ASCII letters decides exactly the same.
    std::string_view accepted[] = {"1", "y", "yes"};
    for (std::string_view word : accepted) {
        if (word.size() != text.size()) {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < word.size(); ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
            same = same && c == word[i];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

}  // namespace kestro
