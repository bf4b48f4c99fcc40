// UTF-8 validation and white-space trimming of the texts the daemon reads.
#pragma once

#include <string_view>

namespace kestro {

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// Removes characters with the Unicode White_Space property from both ends
// (space, tab, newline, no-break space, the ideographic space and the rest).
// The text must be valid UTF-8.
[[nodiscard]] std::string_view trim_white_space(std::string_view text);

}  // namespace kestro
