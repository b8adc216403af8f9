// The engine between the real HID manager, SimConnect client and MobiFlight client: a virtual
// board's report goes in, the virtual simulator's module executes the command, and the boards'
// LED reports follow the simulator's state.
#include <string>

#include <gtest/gtest.h>

#include "hid/HidProtocol.h"
#include "mapping/CockpitRig.h"
#include "mapping/MappingTestSupport.h"
#include "mapping/OutputState.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using HidProtocol::LedState;
using test::CockpitRig;
using test::WaitUntil;

constexpr std::uint16_t kHdg = 21;
constexpr std::uint16_t kMapLeft = 40;
constexpr std::uint16_t kSoftkey = 50;
constexpr std::uint16_t kApHeading = 7;

HidProtocol::Report LedReport(const LedState& state) {
    return HidProtocol::EncodeLedControlReport(state);
}

bool LastLedIs(CockpitRig& rig, int board, const LedState& state) {
    const auto reports = rig.LedReports(board);
    return !reports.empty() && reports.back() == LedReport(state);
}

TEST(MappingIntegrationTest, BoardPressesAndTurnsReachTheModule) {
    CockpitRig rig;
    rig.Start();
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kSoftkey, 1)));
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kSoftkey, 0)));
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Turn(kHdg, 3)));
    ASSERT_TRUE(WaitUntil([&] { return rig.ExecutedCount("(L:HDG) 1 + (>L:HDG)") == 3; }));
    EXPECT_EQ(rig.ExecutedCount("1 (>L:SOFTKEY)"), 1u);
    EXPECT_EQ(rig.ExecutedCount("0 (>L:SOFTKEY)"), 1u);
    EXPECT_EQ(rig.Sim().LVar("L:SOFTKEY"), 0.0);
}

TEST(MappingIntegrationTest, QuickTapsBehindTheRateLimitAreNotLost) {
    test::CockpitOptions options;
    options.rpnRateLimitMs = 100;
    CockpitRig rig(options);
    rig.Start();
    for (int tap = 0; tap < 2; ++tap) {
        ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kSoftkey, 1)));
        ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kSoftkey, 0)));
    }
    ASSERT_TRUE(WaitUntil([&] { return rig.ExecutedCount("0 (>L:SOFTKEY)") == 2; }));
    EXPECT_EQ(rig.Executed(), (std::vector<std::string>{"1 (>L:SOFTKEY)", "0 (>L:SOFTKEY)",
                                                        "1 (>L:SOFTKEY)", "0 (>L:SOFTKEY)"}));
}

TEST(MappingIntegrationTest, UnconfiguredAutopilotButtonBecomesASimulatorEvent) {
    CockpitRig rig;
    rig.Start();
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kApHeading, 1)));
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kApHeading, 0)));
    ASSERT_TRUE(WaitUntil([&] { return !rig.Sim().Events().empty(); }));
    std::this_thread::sleep_for(20ms);
    const auto events = rig.Sim().Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "AP_HDG_HOLD");
    EXPECT_EQ(events[0].value, 0u);
}

TEST(MappingIntegrationTest, HeldMapControlRepeatsUntilReleased) {
    CockpitRig rig(test::CockpitOptions{1, 20, 50, 0});
    rig.Start();
    const std::string press = "(L:MAP_X) 1 - (>L:MAP_X) 0";
    const std::string hold = "(L:MAP_X) 1 - (>L:MAP_X) 1";
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kMapLeft, 1)));
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kMapLeft, 2)));
    ASSERT_TRUE(WaitUntil([&] { return rig.ExecutedCount(hold) >= 3; }));
    ASSERT_TRUE(rig.Board(0).SendEvent(CockpitRig::Button(kMapLeft, 0)));
    ASSERT_TRUE(WaitUntil([&] { return rig.Engine().ActiveHoldCount() == 0; }));
    const std::size_t repeats = rig.ExecutedCount(hold);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rig.ExecutedCount(hold), repeats);
    EXPECT_EQ(rig.ExecutedCount(press), 1u);
    // The press comes first, every repeat after it.
    EXPECT_EQ(rig.Executed().front(), press);
}

TEST(MappingIntegrationTest, LedsFollowConnectionBatteryAndLighting) {
    CockpitRig rig(test::CockpitOptions{2, 10, 10, 0});
    const OutputProfile& profile = BuiltInDefaultProfile();
    rig.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.6);
    rig.Start();
    // Connected with the battery on: the level the module reports once subscribed.
    ASSERT_TRUE(WaitUntil([&] {
        return LastLedIs(rig, 0, LedState{1, 60, 0, 0, 0}) &&
               LastLedIs(rig, 1, LedState{1, 60, 0, 0, 0});
    }));

    rig.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.5);
    ASSERT_TRUE(WaitUntil([&] { return LastLedIs(rig, 1, LedState{1, 50, 0, 0, 0}); }));

    rig.Sim().SetMasterBattery2(false);
    ASSERT_TRUE(
        WaitUntil([&] { return LastLedIs(rig, 0, ComputeEffectState(profile.batteryOff)); }));

    rig.Sim().DropConnections();
    rig.Sim().SetRunning(false);
    ASSERT_TRUE(
        WaitUntil([&] { return LastLedIs(rig, 0, ComputeEffectState(profile.simDisconnected)); }));
}

TEST(MappingIntegrationTest, LedShowHoldsOffOneBoardOnly) {
    CockpitRig rig(test::CockpitOptions{2, 10, 10, 0});
    rig.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.6);
    rig.Start();
    ASSERT_TRUE(WaitUntil([&] {
        return LastLedIs(rig, 0, LedState{1, 60, 0, 0, 0}) &&
               LastLedIs(rig, 1, LedState{1, 60, 0, 0, 0});
    }));
    HidProtocol::HidEvent show;
    show.type = 4;
    ASSERT_TRUE(rig.Board(1).SendEvent(show));
    ASSERT_TRUE(WaitUntil([&] {
        return rig.Engine().IsOutputSuppressed(PanelBoard{rig.BoardName(1), 1});
    }));
    rig.Board(0).ClearWrites();
    rig.Board(1).ClearWrites();
    rig.Sim().SetLVar("L:LIGHTING_POTENTIOMETER_5", 0.3);
    ASSERT_TRUE(WaitUntil([&] { return LastLedIs(rig, 0, LedState{1, 30, 0, 0, 0}); }));
    EXPECT_TRUE(rig.LedReports(1).empty());
    // After the hold-off the board gets the state in full, although it did not change since.
    ASSERT_TRUE(WaitUntil([&] { return LastLedIs(rig, 1, LedState{1, 30, 0, 0, 0}); }, 4s));
}

}  // namespace
}  // namespace tarnwick
