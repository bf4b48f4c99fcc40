#include "base/error.hpp"

#include <array>
#include <string.h>

namespace kestro {

std::string system_error_text(int error_number) {
    std::array<char, 256> buffer{};
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    const char* description = ::strerror_r(error_number, buffer.data(), buffer.size());
    std::string text(description);
    text += " (os error ";
    text += std::to_string(error_number);
    text += ')';
    return text;
}

}  // namespace kestro
