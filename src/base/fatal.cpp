#include "base/fatal.hpp"

#include <utility>

namespace kestro {

void fatal_error(std::string message, std::string detail) {
    throw FatalError{std::move(message), std::move(detail)};
}

}  // namespace kestro
