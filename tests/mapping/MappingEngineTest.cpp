// The engine over fake ports and a hand-moved clock: acting on resolved events (sends, warnings,
// withdrawals), the event queue, the managed map's cadence, the LED hold-off and the output
// worker's timing. What an event resolves to is EventResolutionTest's.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapping/MappingEngine.h"
#include "mapping/MappingTestSupport.h"
#include "mapping/OutputState.h"
#include "mapping/SimStatus.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using HidProtocol::HidEvent;
using HidProtocol::LedState;
using test::Cancelled;
using test::Queued;
using test::RpnCall;
using test::SentNow;
using test::WaitUntil;

HidEvent Button(std::uint16_t id, std::int8_t value, std::uint8_t mode = 0) {
    HidEvent event;
    event.type = 1;
    event.controlId = id;
    event.value = value;
    event.mode = mode;
    return event;
}
HidEvent Press(std::uint16_t id, std::uint8_t mode = 0) {
    return Button(id, 1, mode);
}
HidEvent Release(std::uint16_t id, std::uint8_t mode = 0) {
    return Button(id, 0, mode);
}
HidEvent Hold(std::uint16_t id, std::int8_t value = 2, std::uint8_t mode = 0) {
    return Button(id, value, mode);
}
constexpr std::uint16_t kFd = 6;
constexpr std::uint16_t kUnnamedAp = 7;
constexpr std::uint16_t kHdg = 21;
constexpr std::uint16_t kNavSwap = 30;
constexpr std::uint16_t kMapLeft = 40;
constexpr std::uint16_t kMapRight = 41;
constexpr std::uint16_t kMapUp = 42;
constexpr std::uint16_t kSoftkey = 50;

class MappingEngineTest : public testing::Test {
protected:
    void SetUp() override {
        test::LoadNames(dir_, buttons_, eventMap_);
        config_ = test::MakeConfig();
    }
    void TearDown() override { engine_.Stop(); }

    MappingCollaborators Collaborators() {
        return MappingCollaborators{&config_,  &leds_,     &sim_,   &commands_,
                                    &buttons_, &eventMap_, &status_};
    }
    void StartEngine() {
        std::string error;
        ASSERT_TRUE(engine_.Start(Collaborators(), error)) << error;
        clock_.SetWorkers(3);
    }
    void Send(const HidEvent& event, const std::string& board = "B0", std::int32_t index = 0) {
        engine_.OnHidEvent(event, board, index);
    }
    // Returns once every event sent before has been handled: events are handled in order, so
    // the line of a marker event sent now comes after all of theirs.
    void Drain() {
        const std::int32_t marker = 1000 + drains_++;
        HidEvent event;
        event.type = 9;
        event.controlId = 999;
        engine_.OnHidEvent(event, "DRAIN", marker);
        const std::string prefix = "HID event from DRAIN index=" + std::to_string(marker) + " ";
        ASSERT_TRUE(WaitUntil([&] { return !log_.Find("DEBUG", prefix).empty(); }));
    }
    // The DEBUG lines of events from one board.
    std::vector<std::string> EventLines(const std::string& board = "B0") const {
        return log_.Find("DEBUG", "HID event from " + board + " ");
    }

    test::TempDir dir_;
    test::LogCapture log_{true};
    test::ManualClock clock_;
    test::FakeLeds leds_;
    test::FakeCommands commands_{clock_};
    test::FakeSimEvents sim_;
    SimStatus status_;
    AppConfig config_;
    ButtonConfig buttons_;
    HidEventMap eventMap_;
    int drains_ = 0;
    MappingEngine engine_{clock_};
};

// --- Lifecycle -------------------------------------------------------------------------------

TEST_F(MappingEngineTest, SecondStartFailsAndStopIsHarmless) {
    engine_.Stop();
    StartEngine();
    std::string error;
    EXPECT_FALSE(engine_.Start(Collaborators(), error));
    EXPECT_EQ(error, "Mapping engine already running");
    engine_.Stop();
    engine_.Stop();
    EXPECT_FALSE(engine_.IsRunning());

    // Events offered while stopped are not kept for the next run.
    Send(Press(kUnnamedAp));
    StartEngine();
    Drain();
    EXPECT_TRUE(sim_.Events().empty());
    Send(Press(kUnnamedAp));
    Drain();
    EXPECT_EQ(sim_.Events().size(), 1u);
}

TEST_F(MappingEngineTest, EventsAreDroppedSilentlyWithoutNames) {
    MappingCollaborators without = Collaborators();
    without.hidEventMap = nullptr;
    std::string error;
    ASSERT_TRUE(engine_.Start(without, error));
    Send(Press(kUnnamedAp));
    Send(Press(kSoftkey));
    // Nothing marks an event dropped this early, so give the worker time to get it wrong.
    std::this_thread::sleep_for(50ms);
    engine_.Stop();
    EXPECT_TRUE(sim_.Events().empty());
    EXPECT_EQ(commands_.Count(), 0u);
    EXPECT_TRUE(log_.Find("DEBUG", "HID event").empty());
}

// --- Dispatch --------------------------------------------------------------------------------

TEST_F(MappingEngineTest, HoldsAreDedupedAndReleasesWithdrawWaitingHoldsOnly) {
    StartEngine();
    Send(Hold(kSoftkey, 3), "B9", 9);
    Drain();
    Send(Release(kSoftkey), "B9", 9);
    Drain();
    // The release withdraws the control's waiting hold repeats before sending its own command,
    // but never its press: a tap still waiting in the queue must reach the simulator.
    EXPECT_EQ(commands_.Calls(), (std::vector<RpnCall>{Queued("softkey hold", SendMode::Dedupe, 1),
                                                       Cancelled("softkey hold"),
                                                       Queued("softkey up", SendMode::Plain, 1)}));
}

// A hold whose text is the press's: the release still withdraws the waiting repeat (the port
// withdraws hold repeats only, so the press itself stays).
TEST_F(MappingEngineTest, AHoldThatIsThePressStillHasItsRepeatsWithdrawn) {
    ASSERT_TRUE(buttons_.Load(dir_.Write("same.json", R"({"buttons": [{"name": "SOFTKEY",
        "commands": {"PRESS": {"DEFAULT": "tap"}, "HOLD": {"DEFAULT": "tap"}}}]})")));
    StartEngine();
    Send(Press(kSoftkey));
    Send(Hold(kSoftkey, 2));
    Drain();
    Send(Release(kSoftkey));
    Drain();
    EXPECT_EQ(commands_.Calls(),
              (std::vector<RpnCall>{Queued("tap", SendMode::Plain, 1),
                                    Queued("tap", SendMode::Dedupe, 1), Cancelled("tap")}));
}

TEST_F(MappingEngineTest, EventsAreSentAndFailuresAndRefusalsReported) {
    const Result loaded = buttons_.Load(dir_.Write("long.json", R"({"buttons": [
      {"name": "FD", "commands": {"PRESS": {"": ")" + std::string(239, '2') +
                                                                    R"("}}},
      {"name": "SOFTKEY", "commands": {"PRESS": {"": "softkey"}}}]})"));
    ASSERT_TRUE(loaded) << loaded.Error();
    StartEngine();
    Send(Press(kUnnamedAp));
    Drain();
    EXPECT_EQ(sim_.Events(),
              (std::vector<std::pair<std::string, std::uint32_t>>{{"AP_HDG_HOLD", 0}}));
    EXPECT_EQ(EventLines().back(),
              "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD configuredRole=MFD"
              "(BUTTON) controlId=7 value=1 speed=0 mode=0 simEvent=sent");

    sim_.Fail("SimConnect is not connected");
    commands_.FailQueue("MobiFlight not running");
    Send(Press(kUnnamedAp));
    Send(Press(kSoftkey));
    Send(Press(kFd));  // over-long: never sent, cut or whole
    Drain();
    EXPECT_EQ(log_.Find("WARN"),
              (std::vector<std::string>{
                  "SimConnect send failed for AP_HDG_HOLD: SimConnect is not connected",
                  "MobiFlight RPN send failed for SOFTKEY: MobiFlight not running"}));
    EXPECT_EQ(log_.Find("ERROR"),
              std::vector<std::string>{
                  "Command for FD PRESS is too long (239 bytes, at most 238); not sent"});
    EXPECT_EQ(commands_.Calls(), std::vector<RpnCall>{Queued("softkey", SendMode::Plain, 1)});
    const auto lines = EventLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1],
              "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD configuredRole=MFD"
              "(BUTTON) controlId=7 value=1 speed=0 mode=0");
    EXPECT_EQ(lines[2].find("rpn=queued"), std::string::npos);
}

// --- The event queue ------------------------------------------------------------------------

TEST_F(MappingEngineTest, AReleaseDropsTheQueuedHoldsOfItsButtonOnly) {
    StartEngine();
    commands_.CloseGate();
    Send(Press(kHdg + 1000));  // unnamed: no command, passes the gate
    Send(Press(kSoftkey));     // the worker stops here until the gate opens
    ASSERT_TRUE(WaitUntil([&] { return EventLines().size() == 1; }));
    Send(Hold(kSoftkey, 2));
    Send(Hold(kSoftkey, 3));
    Send(Press(kSoftkey));
    Send(Hold(kSoftkey, 4));
    Send(Hold(kSoftkey, 2), "B1", 1);  // another board
    Send(Hold(kNavSwap, 2));           // another button
    Send(Release(kSoftkey));
    commands_.OpenGate();
    Drain();
    EXPECT_EQ(commands_.CallsOf(RpnCall::Kind::Queue),
              (std::vector<RpnCall>{Queued("softkey pfd", SendMode::Plain, 1),
                                    Queued("softkey pfd", SendMode::Plain, 1),
                                    Queued("softkey hold", SendMode::Dedupe, 1),
                                    Queued("nav swap hold", SendMode::Dedupe, 1),
                                    Queued("softkey up", SendMode::Plain, 1)}));
}

// --- Managed map -----------------------------------------------------------------------------

TEST_F(MappingEngineTest, MapHoldRepeatsOnTheEnginesOwnCadence) {
    StartEngine();
    Send(Press(kMapLeft));
    Drain();
    EXPECT_EQ(commands_.Calls(), std::vector<RpnCall>{SentNow("map left")});

    Send(Hold(kMapLeft, 2));
    Drain();
    const auto t = clock_.Now();
    EXPECT_EQ(engine_.ActiveHoldCount(), 1u);
    clock_.Advance(99ms);
    clock_.Settle();
    EXPECT_EQ(commands_.Count(), 1u);

    clock_.Advance(1ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 2; }));
    // The board's own hold reports do not move the cadence.
    clock_.Advance(50ms);
    Send(Hold(kMapLeft, 3));
    Send(Hold(kMapLeft, 4));
    Drain();
    clock_.Advance(50ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 3; }));
    clock_.Advance(100ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 4; }));
    const auto calls = commands_.Calls();
    EXPECT_EQ(calls[1], SentNow("map left hold"));
    EXPECT_EQ(calls[1].time - t, 100ms);
    EXPECT_EQ(calls[2].time - t, 200ms);
    EXPECT_EQ(calls[3].time - t, 300ms);

    Send(Release(kMapLeft));
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
    clock_.Advance(500ms);
    clock_.Settle();
    EXPECT_EQ(commands_.Calls().size(), 5u);
    EXPECT_EQ(commands_.Calls()[4], Cancelled("map left hold"));

    // Every managed map event writes the short line and queues nothing.
    EXPECT_TRUE(commands_.CallsOf(RpnCall::Kind::Queue).empty());
    EXPECT_EQ(EventLines().size(), 5u);
}

TEST_F(MappingEngineTest, MapHoldAfterAStallDoesNotBurst) {
    StartEngine();
    Send(Hold(kMapLeft));
    Drain();
    clock_.Advance(1000ms);  // ten periods pass at once
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 1; }));
    clock_.Settle();
    EXPECT_EQ(commands_.Count(), 1u);
    clock_.Advance(100ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 2; }));
}

TEST_F(MappingEngineTest, MapHoldCommandFallsBackToPressAndNeedsSome) {
    StartEngine();
    Send(Hold(kMapRight));  // no HOLD command: the PRESS command repeats
    Send(Hold(kMapUp));     // no commands at all: no hold
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 1u);
    clock_.Advance(100ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 1; }));
    EXPECT_EQ(commands_.Calls()[0], SentNow("map right"));
    Send(Release(kMapUp));
    Send(Release(kMapRight));
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
    // MAP_RIGHT repeats its press command, which a release does not withdraw.
    EXPECT_EQ(commands_.Calls(), std::vector<RpnCall>{SentNow("map right")});
}

TEST_F(MappingEngineTest, MapHoldsOnTwoBoardsAndTwoRolesRunApart) {
    StartEngine();
    Send(Hold(kMapLeft), "B0", 0);
    Drain();
    clock_.Advance(30ms);
    Send(Hold(kMapLeft), "B1", 1);
    Send(Hold(kMapLeft, 2, 1), "B1", 1);  // the same board as MFD
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 3u);
    clock_.Advance(70ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 1; }));
    clock_.Advance(30ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 3; }));
    Send(Release(kMapLeft), "B1", 1);
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 2u);
    clock_.Advance(70ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.CallsOf(RpnCall::Kind::SendNow).size() == 4; }));
    clock_.Advance(30ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.CallsOf(RpnCall::Kind::SendNow).size() == 5; }));
    clock_.Settle();
    EXPECT_EQ(commands_.CallsOf(RpnCall::Kind::SendNow).size(), 5u);
}

TEST_F(MappingEngineTest, APressEndsTheHoldBeforeItsCommand) {
    StartEngine();
    Send(Hold(kMapLeft));
    Drain();
    Send(Press(kMapLeft));
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
    clock_.Advance(300ms);
    clock_.Settle();
    EXPECT_EQ(commands_.Calls(), std::vector<RpnCall>{SentNow("map left")});
}

TEST_F(MappingEngineTest, RefusedMapSendsWarnAndTheHoldGoesOn) {
    StartEngine();
    commands_.FailSendNow("MobiFlight not ready");
    Send(Press(kMapLeft));
    Send(Hold(kMapLeft));
    Drain();
    clock_.Advance(100ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 2; }));
    clock_.Advance(100ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 3; }));
    EXPECT_TRUE(
        log_.Contains("WARN", "Managed map press send failed for MAP_LEFT: MobiFlight not ready"));
    ASSERT_TRUE(WaitUntil([&] {
        return log_.Find("WARN", "Managed map hold send failed: MobiFlight not ready").size() == 2;
    }));
}

TEST_F(MappingEngineTest, ShortRepeatSettingsMeanTenMilliseconds) {
    config_.mobiflight.mapHoldRepeatMs = 0;
    StartEngine();
    Send(Hold(kMapLeft));
    Drain();
    clock_.Advance(9ms);
    clock_.Settle();
    EXPECT_EQ(commands_.Count(), 0u);
    clock_.Advance(1ms);
    ASSERT_TRUE(WaitUntil([&] { return commands_.Count() == 1; }));
}

TEST_F(MappingEngineTest, StopEndsEveryHold) {
    StartEngine();
    Send(Hold(kMapLeft));
    Drain();
    engine_.Stop();
    clock_.SetWorkers(0);
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
    clock_.Advance(500ms);
    EXPECT_EQ(commands_.Count(), 0u);
}

// --- LED hold-off ----------------------------------------------------------------------------

TEST_F(MappingEngineTest, LedShowsAndNavSwapHoldsSuspendTheBoardsLeds) {
    StartEngine();
    HidEvent show;
    show.type = 4;
    Send(show, "B0", 0);
    Send(Press(kNavSwap), "B1", 1);  // a press does not
    Send(Hold(kNavSwap), "", 7);     // no name: by index
    Drain();
    EXPECT_EQ(leds_.Invalidated(),
              (std::vector<std::pair<std::string, std::int32_t>>{{"B0", 0}, {"", 7}}));
    EXPECT_TRUE(engine_.IsOutputSuppressed("B0", 0));
    EXPECT_FALSE(engine_.IsOutputSuppressed("B1", 1));
    EXPECT_TRUE(engine_.IsOutputSuppressed("", 7));
    EXPECT_FALSE(engine_.IsOutputSuppressed("X", 7));

    clock_.Advance(1000ms);
    Send(show, "B0", 0);  // extends B0's hold-off
    Drain();
    clock_.Advance(500ms);
    EXPECT_TRUE(engine_.IsOutputSuppressed("B0", 0));
    EXPECT_FALSE(engine_.IsOutputSuppressed("", 7));
    clock_.Advance(999ms);
    EXPECT_TRUE(engine_.IsOutputSuppressed("B0", 0));
    clock_.Advance(1ms);
    EXPECT_FALSE(engine_.IsOutputSuppressed("B0", 0));
}

// --- Outputs ---------------------------------------------------------------------------------

class MappingOutputTest : public MappingEngineTest {
protected:
    void SetUp() override {
        MappingEngineTest::SetUp();
        leds_.SetDevices({{"B0", 0}, {"B1", 1}});
    }
    // The engine looks at the clock when its output worker starts; the first periodic refresh
    // then comes a second later.
    void StartQuiet() {
        StartEngine();
        clock_.Settle();
        leds_.Clear();
    }
    LedState Backlight(std::uint8_t brightness) { return LedState{1, brightness, 0, 0, 0}; }
};

TEST_F(MappingOutputTest, RequestsAreDebouncedIntoOneRefresh) {
    StartQuiet();
    engine_.RequestOutputRefresh();
    clock_.Advance(30ms);
    engine_.RequestOutputRefresh();
    clock_.Advance(30ms);
    engine_.RequestOutputRefresh();
    clock_.Advance(49ms);
    clock_.Settle();
    EXPECT_EQ(leds_.ListCalls(), 0);
    clock_.Advance(1ms);
    ASSERT_TRUE(WaitUntil([&] { return leds_.ListCalls() == 1; }));
    clock_.Settle();
    EXPECT_EQ(leds_.ListCalls(), 1);
    EXPECT_EQ(leds_.Writes().size(), 2u);
}

TEST_F(MappingOutputTest, BoardsAreRefreshedEverySecondWithoutRequests) {
    StartQuiet();
    clock_.Advance(999ms);
    clock_.Settle();
    EXPECT_EQ(leds_.ListCalls(), 0);
    clock_.Advance(1ms);
    ASSERT_TRUE(WaitUntil([&] { return leds_.ListCalls() == 1; }));
    clock_.Settle();
    clock_.Advance(1000ms);
    ASSERT_TRUE(WaitUntil([&] { return leds_.ListCalls() == 2; }));
}

TEST_F(MappingOutputTest, AnEndlessStreamOfRequestsStillRefreshesEverySecond) {
    StartQuiet();
    // A request every 30 ms keeps restarting the 50 ms debounce; a second after the previous
    // refresh the boards are refreshed all the same.
    auto stream = [&](int requests) {
        for (int i = 0; i < requests; ++i) {
            engine_.RequestOutputRefresh();
            clock_.Advance(30ms);
        }
    };
    stream(33);  // 990 ms
    clock_.Settle();
    EXPECT_EQ(leds_.ListCalls(), 0);
    stream(1);  // 1020 ms
    ASSERT_TRUE(WaitUntil([&] { return leds_.ListCalls() == 1; }));
    clock_.Settle();
    stream(34);
    ASSERT_TRUE(WaitUntil([&] { return leds_.ListCalls() == 2; }));
}

TEST_F(MappingOutputTest, NoDebounceRefreshesAtOnce) {
    config_.outputs.debounceMs = 0;
    StartQuiet();
    engine_.RequestOutputRefresh();
    ASSERT_TRUE(WaitUntil([&] { return leds_.ListCalls() == 1; }));
}

TEST_F(MappingOutputTest, StateFollowsConnectionBatteryAndLighting) {
    StartQuiet();
    const OutputProfile& profile = BuiltInDefaultProfile();
    auto refreshOnce = [&] {
        leds_.Clear();
        engine_.RequestOutputRefresh();
        clock_.Advance(50ms);
        EXPECT_TRUE(WaitUntil([&] { return leds_.Writes().size() == 2; }));
        clock_.Settle();
        EXPECT_EQ(leds_.ListCalls(), 1);
        const auto writes = leds_.Writes();
        return writes.empty() ? LedState{} : writes[0].state;
    };
    EXPECT_EQ(refreshOnce(), ComputeEffectState(profile.simDisconnected));
    engine_.SetSimConnected(true);
    EXPECT_EQ(refreshOnce(), Backlight(80));  // battery never reported: on; level: default 80
    status_.SetBattery(false);
    EXPECT_EQ(refreshOnce(), ComputeEffectState(profile.batteryOff));
    status_.SetBattery(true);
    engine_.OnMobiFlightText("0.75");
    EXPECT_EQ(refreshOnce(), Backlight(75));
    EXPECT_TRUE(
        log_.Contains("DEBUG", "State update: backlight LIGHTING_POTENTIOMETER_5=0.750000"));
}

TEST_F(MappingOutputTest, LightingTextRequestsARefreshAfterTheDebounce) {
    engine_.SetSimConnected(true);
    StartQuiet();
    engine_.OnMobiFlightText("L:LIGHTING_POTENTIOMETER_5=0.4");
    EXPECT_TRUE(status_.ReadLighting().known);
    EXPECT_DOUBLE_EQ(status_.ReadLighting().level, 0.4);
    clock_.Advance(49ms);
    clock_.Settle();
    EXPECT_EQ(leds_.ListCalls(), 0);
    clock_.Advance(1ms);
    ASSERT_TRUE(WaitUntil([&] { return leds_.Writes().size() == 2; }));
    EXPECT_EQ(leds_.Writes()[1].state, Backlight(40));
}

TEST_F(MappingOutputTest, UnparsableLightingTextsWarnOnlyWhenTheyNameTheVariable) {
    StartQuiet();
    const std::string noValue = "MF.LVars: LIGHTING_POTENTIOMETER_5";
    engine_.OnMobiFlightText(noValue);
    engine_.OnMobiFlightText("hello");
    engine_.OnMobiFlightText("LIGHTING_POTENTIOMETER_5=nan");
    EXPECT_FALSE(status_.ReadLighting().known);
    const auto warnings = log_.Find("WARN");
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "Backlight LVar payload received but could not be parsed: " + noValue,
                            "Backlight LVar payload received but could not be parsed: "
                            "LIGHTING_POTENTIOMETER_5=nan"}));
    clock_.Advance(100ms);
    clock_.Settle();
    EXPECT_EQ(leds_.ListCalls(), 0);
}

TEST_F(MappingOutputTest, HeldOffAndProfilelessBoardsGetNothing) {
    StartQuiet();
    HidEvent show;
    show.type = 4;
    Send(show, "B1", 1);
    Drain();
    engine_.RequestOutputRefresh();
    clock_.Advance(50ms);
    ASSERT_TRUE(WaitUntil([&] { return leds_.Writes().size() == 1; }));
    clock_.Settle();
    ASSERT_EQ(leds_.Writes().size(), 1u);
    EXPECT_EQ(leds_.Writes()[0].name, "B0");

    // The hold-off over, the board is written again.
    clock_.Advance(1500ms);
    ASSERT_TRUE(WaitUntil([&] { return leds_.Writes().size() == 3; }));
    EXPECT_EQ(leds_.Writes()[2].name, "B1");
}

TEST_F(MappingOutputTest, NoProfileNoLeds) {
    config_.outputs.profiles.clear();
    StartQuiet();
    engine_.RequestOutputRefresh();
    clock_.Advance(50ms);
    ASSERT_TRUE(WaitUntil([&] { return leds_.ListCalls() == 1; }));
    clock_.Settle();
    EXPECT_TRUE(leds_.Writes().empty());
}

}  // namespace
}  // namespace tarnwick
