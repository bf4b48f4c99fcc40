// UTF-8 validation against an independent decoder; on valid text, trimming
// gives a valid substring with no white space at either end, and removes
// nothing but white space.
#include <algorithm>
#include <array>

#include "base/utf8.hpp"
#include "fuzz_check.hpp"

namespace {

using kestro::fuzz::decode_utf8;
using kestro::fuzz::require;

bool independently_valid(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(text, at, code_point);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

// The White_Space property, as ranges from the Unicode character database.
bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

bool all_white_space(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        char32_t code_point = 0;
        const std::size_t length = decode_utf8(text, at, code_point);
        if (length == 0 || !is_white_space(code_point)) {
            return false;
        }
        at += length;
    }
    return true;
}

// The last code point of valid, non-empty text.
char32_t last_code_point(std::string_view text) {
    std::size_t begin = text.size() - 1;
    while (begin > 0 && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) {
        --begin;
    }
    char32_t code_point = 0;
    decode_utf8(text, begin, code_point);
    return code_point;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = kestro::fuzz::text_of(data, size);
    const bool valid = kestro::is_valid_utf8(text);
    require(valid == independently_valid(text), "the validator agrees with the independent decoder");
    if (!valid) {
        return 0;  // trimming is defined for valid text only
    }
    const std::string_view trimmed = kestro::trim_white_space(text);
    const std::size_t start = static_cast<std::size_t>(trimmed.data() - text.data());
    require(trimmed.data() >= text.data() && start + trimmed.size() <= text.size(), "the result is a substring");
    require(kestro::is_valid_utf8(trimmed), "the result is valid UTF-8");
    require(all_white_space(text.substr(0, start)), "only white space is removed in front");
    require(all_white_space(text.substr(start + trimmed.size())), "only white space is removed behind");
    if (!trimmed.empty()) {
        char32_t first = 0;
        decode_utf8(trimmed, 0, first);
        require(!is_white_space(first), "no white space at the start");
        require(!is_white_space(last_code_point(trimmed)), "no white space at the end");
    } else {
        require(all_white_space(text), "only white space trims to nothing");
    }
    return 0;
}
