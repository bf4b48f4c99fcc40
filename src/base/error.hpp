// The operating system's description of an error number, as it appears in
// every report: "No such file or directory (os error 2)".
#pragma once

#include <string>

namespace kestro {

[[nodiscard]] std::string system_error_text(int error_number);

}  // namespace kestro
