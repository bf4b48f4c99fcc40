// The names of a battery's attribute files and the rule that chooses among
// them, shared by the daemon's choice at start-up (power/battery_files) and
// kestro-status --probe, which says what the daemon would read.
#pragma once

#include <array>
#include <string_view>

namespace kestro {

// The attributes read every cycle whatever the choice.
inline constexpr std::string_view status_attribute = "status";
inline constexpr std::string_view voltage_min_design_attribute = "voltage_min_design";
inline constexpr std::string_view voltage_now_attribute = "voltage_now";
inline constexpr std::array<std::string_view, 3> required_attributes = {
    status_attribute, voltage_min_design_attribute, voltage_now_attribute};

// A preferred attribute and the one used in its place when it is missing.
struct AttributeChoice {
    std::string_view preferred;
    std::string_view alternative;

    [[nodiscard]] constexpr std::string_view chosen(bool use_alternative) const {
        return use_alternative ? alternative : preferred;
    }
};

// The capacity pair, charge or energy (either charge file missing selects
// energy for both), and the flow, current or power.
inline constexpr AttributeChoice full_choice{"charge_full", "energy_full"};
inline constexpr AttributeChoice now_choice{"charge_now", "energy_now"};
inline constexpr AttributeChoice flow_choice{"current_now", "power_now"};
inline constexpr std::array<AttributeChoice, 2> capacity_choices = {full_choice, now_choice};

}  // namespace kestro
