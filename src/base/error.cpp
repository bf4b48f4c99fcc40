#include "base/error.hpp"

#include <array>
#include <cstdint>
#include <string.h>
#include <utility>

#include "base/number_format.hpp"

namespace kestro {

ErrorText SystemError::text() const {
    std::array<char, ErrorText::capacity> buffer{};
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    ErrorText text(::strerror_r(number, buffer.data(), buffer.size()));
    text.append(" (os error ").append(format_integer(std::int64_t{number})).append(")");
    return text;
}

Error Error::reason_text(std::string text) {
    Error error(SystemError{});
    error.made_reason_ = std::move(text);
    return error;
}

Error Error::in_context(std::string context) && {
    context_ = std::move(context);
    return std::move(*this);
}

ErrorText Error::text() const {
    if (const auto system_error = system()) {
        return system_error->text();
    }
    return ErrorText(made_reason_ ? std::string_view(*made_reason_) : reason_);
}

std::string Error::report() const {
    const ErrorText error_text = text();
    return context_ ? *context_ + ": " + std::string(error_text.view()) : std::string(error_text.view());
}

}  // namespace kestro
