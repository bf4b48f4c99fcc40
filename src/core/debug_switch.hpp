// The process-wide debug switch, decided once at start-up from KESTRO_DEBUG.
#pragma once

namespace kestro {

inline constexpr const char* debug_variable = "KESTRO_DEBUG";

// True exactly when the value, lower-cased and not trimmed, is "1", "y" or
// "yes". An unset variable (nullptr) or a value that is not UTF-8 is false.
[[nodiscard]] bool debug_switch_from(const char* value);

}  // namespace kestro
