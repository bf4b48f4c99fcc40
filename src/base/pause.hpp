// The daemon's only ways of waiting: plain relative sleeps of its one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>

#include "base/error.hpp"

namespace kestro {

// The pause between two cycles of the monitor loop.
inline constexpr std::chrono::nanoseconds cycle_pause = std::chrono::seconds(1);

// A wait too long for a nanosecond count: whole seconds and the rest.
struct WaitDuration {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;  // below 1'000'000'000
};

// 2^64: the first number of seconds a WaitDuration cannot hold.
inline constexpr double wait_limit_secs = 0x1p64;

// Why seconds make no wait.
inline constexpr Error negative_wait = Error::reason("cannot convert float seconds to Duration: value is negative");
inline constexpr Error oversized_wait =
    Error::reason("cannot convert float seconds to Duration: value is either too big or NaN");

// Converts seconds to a wait, rounded to the nearest nanosecond (halves to
// even). Fails with negative_wait below 0, and with oversized_wait for NaN
// and wait_limit_secs or more.
[[nodiscard]] std::expected<WaitDuration, Error> wait_duration_from_secs(double secs);

// The two clocks of a machine that sleeps: time awake (CLOCK_MONOTONIC,
// which stands still while the machine is suspended or hibernated) and time
// asleep (what CLOCK_BOOTTIME counts beyond it), both since boot. Whole
// nanoseconds, so that the time between two readings is exact.
struct ClockReading {
    std::chrono::nanoseconds awake{};
    std::chrono::nanoseconds asleep{};
};
[[nodiscard]] ClockReading read_clocks();

// Whether the machine slept between two readings of the time asleep: the
// two clocks are read one after the other, so less than a second more
// asleep is their jitter, not a sleep.
[[nodiscard]] constexpr bool slept_between(std::chrono::nanoseconds asleep_before,
                                           std::chrono::nanoseconds asleep_after) {
    return asleep_after - asleep_before >= std::chrono::seconds(1);
}

// The awake clock alone, in whole nanoseconds: its spans add up exactly.
[[nodiscard]] std::chrono::nanoseconds read_awake_time();

// Sleeps for the whole duration: a sleep interrupted by a signal is resumed
// for the time that remains.
void pause_for(std::chrono::nanoseconds duration);

// The same for a wait that may be longer than a nanosecond count or a
// time_t can hold.
void pause_for(WaitDuration duration);

}  // namespace kestro
