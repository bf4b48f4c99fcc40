// UTF-8 validation, white-space trimming and case folding of the texts the
// daemon reads.
#pragma once

#include <algorithm>
#include <string_view>

namespace kestro {

// True for a byte that continues a UTF-8 character rather than starting one.
[[nodiscard]] constexpr bool is_continuation_byte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// Removes characters with the Unicode White_Space property from both ends
// (space, tab, newline, no-break space, the ideographic space and the rest).
// The text must be valid UTF-8.
[[nodiscard]] std::string_view trim_white_space(std::string_view text);

// True when text, with its ASCII capitals made small, is exactly
// `lower_case_word` (itself ASCII and lower case). Nothing else is folded.
[[nodiscard]] constexpr bool equals_folding_ascii_case(std::string_view text, std::string_view lower_case_word) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return text.size() == lower_case_word.size() &&
           std::equal(text.begin(), text.end(), lower_case_word.begin(), [&](char a, char b) { return lower(a) == b; });
}

}  // namespace kestro
