// The charge figures of one cycle, derived from the readings by the charge
// evaluation and used by the status rules, the shutdown estimate and the
// publication.
#pragma once

#include <optional>

namespace kestro {

struct ChargeEstimate {
    // now ÷ full × 100; none when a capacity was not read or the quotient
    // is not a finite number.
    std::optional<double> percent;
    // The previous cycle's percentage, for the trend; none in the first
    // cycle and after a cycle whose percentage was unknown.
    std::optional<double> previous_percent;
    double average = 0.0;  // of the nine history entries
    bool near_full = false;
    std::optional<double> draw;  // rate × voltage_now; none when voltage_now was not read
    std::optional<double> secs_until_full;
};

}  // namespace kestro
