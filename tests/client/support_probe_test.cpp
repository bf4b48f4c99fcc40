#include "client/support_probe.hpp"

#include <gtest/gtest.h>

namespace kestro {
namespace {

TEST(UpowerCriticalAction, AsUpowerAppliesIt) {
    EXPECT_EQ(upower_critical_action(""), "HybridSleep at 2%");
    EXPECT_EQ(upower_critical_action("[UPower]\n# CriticalPowerAction=Ignore\nCriticalPowerAction = Ignore\n"
                                     "AllowRiskyCriticalPowerAction=true\n"),
              "Ignore at 2%");
    EXPECT_EQ(upower_critical_action("CriticalPowerAction=Suspend\nAllowRiskyCriticalPowerAction=false\n"),
              "HybridSleep at 2%");
    EXPECT_EQ(upower_critical_action("CriticalPowerAction=PowerOff\nUsePercentageForPolicy=false\nTimeAction=300"),
              "PowerOff at 300 s left");
}

}  // namespace
}  // namespace kestro
