// The charge figures of one cycle, derived from the readings by the charge
// evaluation and used by the status rules, the shutdown estimate and the
// publication.
#pragma once

#include <optional>

namespace kestro {

struct ChargeEstimate {
    double percent = 0.0;  // meaningful only when percent_known
    bool percent_known = false;
    double average = 0.0;  // of the nine history entries
    bool near_full = false;
    double draw = 0.0;  // rate × voltage_now; meaningful only when voltage_now is known
    std::optional<double> secs_until_full;
};

}  // namespace kestro
