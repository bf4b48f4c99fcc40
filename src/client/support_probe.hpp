// kestro-status --probe: whether kestro would work on this machine, one
// line per thing it looked at, without the daemon: the adapter and the
// batteries the daemon would find, the attribute files it would read, the
// power supplies it would leave alone, and another power manager whose
// critical action comes first.
#pragma once

#include <string>
#include <string_view>

namespace kestro {

// Where the probe looks; the defaults are the machine's own.
struct ProbeSources {
    std::string_view power_supply_root = "/sys/class/power_supply/";  // ends with "/"
    std::string_view proc_root = "/proc/";
    std::string_view upower_config = "/etc/UPower/UPower.conf";
};

struct ProbeReport {
    std::string text;      // the lines, each ending with a newline
    bool battery = false;  // whether the daemon would find a battery (else it stops at start-up)
};

// Looks as the daemon does at start-up: the first supply of type Mains in
// the kernel's order, and BAT0 to BAT8 of type Battery, each with the
// charge or energy and the current or power it would read (the same choice
// as the daemon's) and the files it would miss. Never fails: what cannot be
// read is said.
[[nodiscard]] ProbeReport probe_support(const ProbeSources& sources = {});

// UPower's critical action as UPower applies it, from its configuration
// file's text: "<action> at <level>", where a risky action (Ignore,
// Suspend) without AllowRiskyCriticalPowerAction=true is HybridSleep, and
// the level is PercentageAction ("2%"), or TimeAction ("120 s left") where
// UsePercentageForPolicy=false. Missing keys take UPower's defaults.
[[nodiscard]] std::string upower_critical_action(std::string_view config);

}  // namespace kestro
