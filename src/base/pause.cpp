#include "base/pause.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <limits>

namespace kestro {

namespace {

constexpr std::uint64_t nanoseconds_per_second = 1'000'000'000;
// Bits in the significand of a double, the hidden one included.
constexpr int significand_bits = 53;

// Holds the significand times 10^9 (below 2^83) exactly.
__extension__ typedef unsigned __int128 Wide;
constexpr int wide_bits = 128;

void sleep_whole(timespec request) {
    timespec remaining{};
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
}

[[nodiscard]] std::chrono::nanoseconds time_of(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);  // cannot fail for these clocks and a valid pointer
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

ClockReading read_clocks() {
    const std::chrono::nanoseconds awake = time_of(CLOCK_MONOTONIC);
    return {awake, time_of(CLOCK_BOOTTIME) - awake};
}

std::chrono::nanoseconds read_awake_time() { return time_of(CLOCK_MONOTONIC); }

std::expected<WaitDuration, Error> wait_duration_from_secs(double secs) {
    if (std::isnan(secs)) {
        return std::unexpected(oversized_wait);
    }
    if (secs < 0) {
        return std::unexpected(negative_wait);
    }
    if (secs >= wait_limit_secs) {
        return std::unexpected(oversized_wait);
    }
    // secs = significand × 2^-fraction_bits exactly, the significand below 2^53.
    int exponent = 0;
    const double mantissa = std::frexp(secs, &exponent);
    const auto significand = static_cast<std::uint64_t>(std::ldexp(mantissa, significand_bits));
    const int fraction_bits = significand_bits - exponent;
    if (fraction_bits <= 0) {
        // A whole number below 2^64.
        return WaitDuration{significand << -fraction_bits, 0};
    }
    // With a fraction the whole part is below 2^52, so the carry below cannot overflow.
    constexpr int word_bits = 64;
    std::uint64_t whole = fraction_bits < word_bits ? significand >> fraction_bits : 0;
    if (fraction_bits >= wide_bits) {
        // Below 2^-45 s: far under half a nanosecond.
        return WaitDuration{whole, 0};
    }
    const std::uint64_t fraction =
        fraction_bits < word_bits ? significand & ((std::uint64_t{1} << fraction_bits) - 1) : significand;
    const Wide scaled = static_cast<Wide>(fraction) * nanoseconds_per_second;
    auto nanos = static_cast<std::uint64_t>(scaled >> fraction_bits);
    const Wide rest = scaled & ((Wide{1} << fraction_bits) - 1);
    const Wide half = Wide{1} << (fraction_bits - 1);
    if (rest > half || (rest == half && nanos % 2 == 1)) {
        ++nanos;
    }
    if (nanos == nanoseconds_per_second) {
        ++whole;
        nanos = 0;
    }
    return WaitDuration{whole, static_cast<std::uint32_t>(nanos)};
}

void pause_for(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    sleep_whole({static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())});
}

void pause_for(WaitDuration duration) {
    constexpr auto longest = static_cast<std::uint64_t>(std::numeric_limits<time_t>::max());
    while (duration.seconds > longest) {
        sleep_whole({static_cast<time_t>(longest), 0});
        duration.seconds -= longest;
    }
    sleep_whole({static_cast<time_t>(duration.seconds), static_cast<long>(duration.nanoseconds)});
}

}  // namespace kestro
