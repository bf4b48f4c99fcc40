// The daemon's only ways of waiting: plain relative sleeps of its one thread.
#pragma once

#include <chrono>
#include <cstdint>

namespace kestro {

// The pause between two cycles of the monitor loop.
inline constexpr std::chrono::nanoseconds cycle_pause = std::chrono::seconds(1);

// Sleeps for the whole duration: a sleep interrupted by a signal is resumed
// for the time that remains.
void pause_for(std::chrono::nanoseconds duration);

// The same for a wait given in whole seconds and nanoseconds, which may be
// longer than a nanosecond count or a time_t can hold.
void pause_for(std::uint64_t seconds, std::uint32_t nanoseconds);

}  // namespace kestro
