#include "base/error.hpp"

#include <array>
#include <cstdint>
#include <string.h>

#include "base/number_format.hpp"

namespace kestro {

ErrorText SystemError::text() const {
    std::array<char, ErrorText::capacity> buffer{};
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    ErrorText text(::strerror_r(number, buffer.data(), buffer.size()));
    text.append(" (os error ").append(format_integer(std::int64_t{number})).append(")");
    return text;
}

ErrorText Error::text() const {
    if (const auto system_error = system()) {
        return system_error->text();
    }
    return ErrorText(reason_);
}

}  // namespace kestro
