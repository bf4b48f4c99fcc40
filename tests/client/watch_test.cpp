#include "client/watch.hpp"

#include <vector>

#include <gtest/gtest.h>

namespace kestro {
namespace {

using Next = Settling::Next;

// One read of the queued events and what the rule makes of it.
struct Read {
    EventBatch batch;
    bool step_ended;
    Next next;
};

constexpr EventBatch cycle_end{5, true, true};
constexpr EventBatch touched{2, true, false};
constexpr EventBatch untouched{1, false, false};  // a temporary file's event
constexpr EventBatch nothing{};

struct SettlingCase {
    const char* name;
    std::vector<Read> reads;
};

TEST(Settling, OneReadOfTheStatusACycle) {
    const SettlingCase cases[] = {
        {"the first event brings the cycle's end", {{cycle_end, false, Next::read}}},
        {"a step brings the cycle's end", {{touched, false, Next::wait_step}, {cycle_end, true, Next::read}}},
        {"a quiet step", {{touched, false, Next::wait_step}, {nothing, true, Next::read}}},
        {"nothing touched the status", {{untouched, false, Next::wait_step}, {nothing, true, Next::listen}}},
        {"a wake without events", {{nothing, false, Next::listen}}},
        {"what a step touched counts",
         {{untouched, false, Next::wait_step}, {touched, true, Next::wait_step}, {nothing, true, Next::read}}},
        {"the steps run out",
         {{touched, false, Next::wait_step}, {untouched, true, Next::wait_step}, {untouched, true, Next::wait_step},
          {untouched, true, Next::wait_step}, {untouched, true, Next::wait_step}, {untouched, true, Next::wait_step},
          {untouched, true, Next::wait_step}, {untouched, true, Next::wait_step}, {untouched, true, Next::wait_step},
          {untouched, true, Next::wait_step}, {untouched, true, Next::read}, {untouched, false, Next::wait_step}}},
    };
    for (const SettlingCase& c : cases) {
        Settling settling;
        for (std::size_t at = 0; at < c.reads.size(); ++at) {
            const Read& read = c.reads[at];
            const Next next = settling.after(read.batch, read.step_ended);
            EXPECT_EQ(next, read.next) << c.name << ", read " << at;
            EXPECT_EQ(settling.settling(), next == Next::wait_step) << c.name << ", read " << at;
            if (next == Next::read) {
                settling.status_read();
            }
        }
    }
}

TEST(Settling, AReadForTheAgeingLeavesNothingToRead) {
    Settling settling;
    EXPECT_EQ(settling.after(touched, false), Next::wait_step);
    settling.status_read();
    EXPECT_EQ(settling.after(nothing, true), Next::listen);
}

}  // namespace
}  // namespace kestro
