#include "base/utf8.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace kestro {

namespace {

// Every code point with the White_Space property.
constexpr std::array<char32_t, 25> white_space = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

bool is_white_space(char32_t code_point) {
    return std::find(white_space.begin(), white_space.end(), code_point) != white_space.end();
}

unsigned char byte_at(std::string_view text, std::size_t index) {
    return static_cast<unsigned char>(text[index]);
}

// Decodes the code point that starts at index of valid UTF-8; returns its length.
std::size_t decode_at(std::string_view text, std::size_t index, char32_t& code_point) {
    const unsigned char lead = byte_at(text, index);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    code_point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        code_point = (code_point << 6) | (byte_at(text, index + i) & 0x3F);
    }
    return length;
}

// The white space of ASCII text, which is nearly all the daemon reads.
bool is_ascii_white_space(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t size = bytes.size();
    while (i < size) {
        const unsigned char lead = byte_at(bytes, i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80;   // bounds of the second byte
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (size - i < length) {
            return false;
        }
        const unsigned char second = byte_at(bytes, i + 1);
        if (second < low || second > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (!is_continuation_byte(bytes[i + k])) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

std::string_view trim_white_space(std::string_view text) {
    // Leading: decode forwards.
    std::size_t start = 0;
    while (start < text.size()) {
        if (const unsigned char byte = byte_at(text, start); byte < 0x80) {
            if (!is_ascii_white_space(byte)) {
                break;
            }
            ++start;
            continue;
        }
        char32_t code_point = 0;
        const std::size_t length = decode_at(text, start, code_point);
        if (!is_white_space(code_point)) {
            break;
        }
        start += length;
    }
    // Trailing: step back to the start of each code point.
    std::size_t end = text.size();
    while (end > start) {
        if (const unsigned char byte = byte_at(text, end - 1); byte < 0x80) {
            if (!is_ascii_white_space(byte)) {
                break;
            }
            --end;
            continue;
        }
        std::size_t begin = end - 1;
        while (begin > start && is_continuation_byte(text[begin])) {
            --begin;
        }
        char32_t code_point = 0;
        decode_at(text, begin, code_point);
        if (!is_white_space(code_point)) {
            break;
        }
        end = begin;
    }
    return text.substr(start, end - start);
}

}  // namespace kestro
