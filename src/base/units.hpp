// The units the daemon's figures are in, where they meet: the kernel reports
// flows per hour, the estimates are in seconds; charges are percentages.
#pragma once

namespace kestro {

inline constexpr double seconds_per_hour = 3600.0;

// A whole battery.
inline constexpr double full_charge_percent = 100.0;

}  // namespace kestro
