#include "base/fatal.hpp"

namespace kestro {

void fatal_error(std::string_view message, std::string_view detail) {
    throw FatalError{std::string(message), std::string(detail)};
}

}  // namespace kestro
