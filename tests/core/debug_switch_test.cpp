#include "core/debug_switch.hpp"

#include <gtest/gtest.h>

namespace kestro {
namespace {

struct SwitchCase {
    const char* value;
    bool enabled;
};

class DebugSwitch : public testing::TestWithParam<SwitchCase> {};

TEST_P(DebugSwitch, FollowsTheLowerCasedUntrimmedValue) {
    EXPECT_EQ(debug_switch_from(GetParam().value), GetParam().enabled)
        << (GetParam().value ? GetParam().value : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(
    Values, DebugSwitch,
    testing::Values(SwitchCase{nullptr, false}, SwitchCase{"1", true}, SwitchCase{"y", true},
                    SwitchCase{"Y", true}, SwitchCase{"yes", true}, SwitchCase{"YES", true},
                    SwitchCase{"Yes", true}, SwitchCase{"yEs", true}, SwitchCase{"", false},
                    SwitchCase{"0", false}, SwitchCase{"true", false}, SwitchCase{"on", false},
                    SwitchCase{" yes", false}, SwitchCase{"yes\n", false}, SwitchCase{"yes ", false},
                    SwitchCase{"ye", false}, SwitchCase{"yess", false}, SwitchCase{"11", false},
                    SwitchCase{"\xff" "yes", false}, SwitchCase{"y\xc3", false},
                    // The Kelvin sign lower-cases to 'k', never to an accepted letter.
                    SwitchCase{"\xe2\x84\xaa", false}));

}  // namespace
}  // namespace kestro
