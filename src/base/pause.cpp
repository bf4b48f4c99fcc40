#include "base/pause.hpp"

#include <cerrno>
#include <ctime>
#include <limits>

namespace kestro {

namespace {

void sleep_whole(timespec request) {
    timespec remaining{};
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
}

}  // namespace

void pause_for(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    sleep_whole({static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())});
}

void pause_for(std::uint64_t seconds, std::uint32_t nanoseconds) {
    constexpr auto longest = static_cast<std::uint64_t>(std::numeric_limits<time_t>::max());
    while (seconds > longest) {
        sleep_whole({static_cast<time_t>(longest), 0});
        seconds -= longest;
    }
    sleep_whole({static_cast<time_t>(seconds), static_cast<long>(nanoseconds)});
}

}  // namespace kestro
