// What the fuzz targets share: the input as text, and a property check that
// stops the run with a message libFuzzer keeps beside the failing input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace kestro::fuzz {

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// An assert that no build setting can turn off.
inline void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", property);
        std::abort();
    }
}

// Decodes the code point that starts at index; returns its length in bytes,
// or 0 when the bytes there are not well-formed UTF-8 (overlong forms,
// surrogates and values above U+10FFFF included). Written apart from the
// daemon's validator so that each checks the other.
inline std::size_t decode_utf8(std::string_view text, std::size_t index, char32_t& code_point) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(index);
    std::size_t length = 0;
    char32_t smallest = 0;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        smallest = 0x10000;
    } else {
        return 0;
    }
    code_point = lead & (0x7F >> length);
    if (text.size() - index < length) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(index + k) & 0xC0) != 0x80) {
            return 0;
        }
        code_point = (code_point << 6) | (byte(index + k) & 0x3F);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    if (code_point < smallest || code_point > 0x10FFFF || surrogate) {
        return 0;
    }
    return length;
}

}  // namespace kestro::fuzz
