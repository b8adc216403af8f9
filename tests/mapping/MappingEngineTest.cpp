// The engine over fake ports and a hand-moved clock: acting on resolved events (sends, warnings,
// withdrawals), the event queue, the managed map's cadence, the LED hold-off and the output
// worker's timing. What an event resolves to is EventResolutionTest's.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/ManualClock.h"
#include "mapping/MappingEngine.h"
#include "mapping/MappingTestSupport.h"
#include "mapping/SimStatus.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using HidProtocol::HidEvent;
using HidProtocol::LedState;
using test::Cancelled;
using test::Hold;
using test::Press;
using test::Queued;
using test::Release;
using test::RpnCall;
using test::SentNow;
using test::WaitUntil;

constexpr std::uint16_t kFd = 6, kUnnamedAp = 7, kHdg = 21, kNavSwap = 30, kMapLeft = 40,
                        kMapRight = 41, kMapUp = 42, kSoftkey = 50;

class MappingEngineTest : public testing::Test {
protected:
    void SetUp() override {
        test::LoadNames(dir_, buttons_, eventMap_);
        config_ = test::MakeConfig();
        leds_.SetDevices({{"B0", 0}, {"B1", 1}});
    }
    void TearDown() override { engine_.Stop(); }

    MappingCollaborators Collaborators() {
        return MappingCollaborators{&config_,  &leds_,     &sim_,   &commands_,
                                    &buttons_, &eventMap_, &status_};
    }
    void StartEngine() {
        const Result started = engine_.Start(Collaborators());
        ASSERT_TRUE(started) << started.Error();
        clock_.SetWorkers(3);
        // The output worker counts its first periodic refresh from its start.
        clock_.Settle();
    }
    void Send(const HidEvent& event, const std::string& board = "B0", std::int32_t index = 0) {
        engine_.OnHidEvent(event, board, index);
    }
    // Returns once every event sent before has been handled: events are handled in order, so
    // the line of a marker event sent now comes after all of theirs.
    void Drain() {
        const std::int32_t marker = 1000 + drains_++;
        engine_.OnHidEvent(test::PanelEvent(9, 999, 0), "DRAIN", marker);
        const std::string prefix = "HID event from DRAIN index=" + std::to_string(marker) + " ";
        ASSERT_TRUE(WaitUntil([&] { return !log_.Find("DEBUG", prefix).empty(); }));
    }
    std::vector<std::string> EventLines() const { return log_.Find("DEBUG", "HID event from B0 "); }
    // Moves the clock by `step` and waits until `done` holds, then until the workers rest.
    void AdvanceUntil(std::chrono::milliseconds step, const std::function<bool()>& done) {
        clock_.Advance(step);
        ASSERT_TRUE(WaitUntil(done));
        clock_.Settle();
    }
    void ExpectQuietFor(std::chrono::milliseconds step) {
        const std::size_t calls = commands_.Count();
        const int lists = leds_.ListCalls();
        clock_.Advance(step);
        clock_.Settle();
        EXPECT_EQ(commands_.Count(), calls);
        EXPECT_EQ(leds_.ListCalls(), lists);
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

TEST_F(MappingEngineTest, SecondStartFailsAndStopEndsEveryHold) {
    engine_.Stop();
    StartEngine();
    const Result again = engine_.Start(Collaborators());
    EXPECT_EQ(again.Error(), "Mapping engine already running");
    Send(Hold(kMapLeft));
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 1u);
    engine_.Stop();
    engine_.Stop();
    clock_.SetWorkers(0);
    EXPECT_FALSE(engine_.IsRunning());
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);

    // Events offered while stopped are not kept for the next run.
    Send(Press(kUnnamedAp));
    StartEngine();
    Send(Press(kUnnamedAp));
    Drain();
    EXPECT_EQ(sim_.Events().size(), 1u);
    EXPECT_EQ(commands_.Count(), 0u);
}

// A release withdraws the control's waiting hold repeats before its own command, even when the
// hold's text is the press's; the press itself is never withdrawn (the port withdraws repeats).
TEST_F(MappingEngineTest, AHoldThatIsThePressStillHasItsRepeatsWithdrawn) {
    std::string error;
    ASSERT_TRUE(buttons_.Load(dir_.Write("same.json", R"({"buttons": [{"name": "SOFTKEY",
        "commands": {"PRESS": {"": "tap"}, "HOLD": {"": "tap"}, "RELEASE": {"": "up"}}}]})"),
                              error));
    StartEngine();
    Send(Press(kSoftkey));
    Send(Hold(kSoftkey, 3));
    Drain();
    Send(Release(kSoftkey));
    Drain();
    EXPECT_EQ(
        commands_.Calls(),
        (std::vector<RpnCall>{Queued("tap", SendMode::Plain, 1), Queued("tap", SendMode::Dedupe, 1),
                              Cancelled("tap"), Queued("up", SendMode::Plain, 1)}));
}

TEST_F(MappingEngineTest, EventsAreSentAndFailuresAndRefusalsReported) {
    std::string error;
    ASSERT_TRUE(buttons_.Load(dir_.Write("long.json", R"({"buttons": [
      {"name": "FD", "commands": {"PRESS": {"": ")" + std::string(239, '2') +
                                                          R"("}}},
      {"name": "MAP_LEFT", "commands": {"PRESS": {"": "map"}}},
      {"name": "SOFTKEY", "commands": {"PRESS": {"": "softkey"}}}]})"),
                              error))
        << error;
    StartEngine();
    Send(Press(kUnnamedAp));
    Drain();
    sim_.Fail("SimConnect is not connected");
    commands_.FailQueue("MobiFlight not running");
    commands_.FailSendNow("MobiFlight not ready");
    Send(Press(kUnnamedAp));
    Send(Press(kSoftkey));
    Send(Press(kFd));  // over-long: never sent, cut or whole
    Send(Press(kMapLeft));
    Send(Hold(kMapLeft));  // a refused repeat warns, and the hold goes on
    Drain();
    AdvanceUntil(100ms, [&] { return commands_.Count() == 3; });
    AdvanceUntil(100ms, [&] { return commands_.Count() == 4; });
    EXPECT_EQ(sim_.Events(), (std::vector<std::pair<std::string, std::uint32_t>>{
                                 {"AP_HDG_HOLD", 0}, {"AP_HDG_HOLD", 0}}));
    const std::string hold = "Managed map hold send failed: MobiFlight not ready";
    EXPECT_EQ(log_.Find("WARN"),
              (std::vector<std::string>{
                  "SimConnect send failed for AP_HDG_HOLD: SimConnect is not connected",
                  "MobiFlight RPN send failed for SOFTKEY: MobiFlight not running",
                  "Managed map press send failed for MAP_LEFT: MobiFlight not ready", hold, hold}));
    EXPECT_EQ(log_.Find("ERROR"),
              std::vector<std::string>{
                  "Command for FD PRESS is too long (239 bytes, at most 238); not sent"});
    EXPECT_EQ(commands_.CallsOf(RpnCall::Kind::Queue),
              std::vector<RpnCall>{Queued("softkey", SendMode::Plain, 1)});
    const std::string head =
        "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD configuredRole=MFD"
        "(BUTTON) controlId=";
    EXPECT_EQ(
        EventLines(),
        (std::vector<std::string>{
            head + "7 value=1 speed=0 mode=0 simEvent=sent", head + "7 value=1 speed=0 mode=0",
            head + "50(SOFTKEY) value=1 speed=0 mode=0", head + "6(FD) value=1 speed=0 mode=0",
            "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD(BUTTON) controlId=40"
            "(MAP_LEFT) value=1 speed=0 mode=0",
            "HID event from B0 index=0 type=1 action=HOLD role=PFD(BUTTON) controlId=40"
            "(MAP_LEFT) value=2 speed=0 mode=0"}));
}

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

TEST_F(MappingEngineTest, MapHoldRepeatsOnTheEnginesOwnCadence) {
    StartEngine();
    Send(Press(kMapLeft));
    Send(Hold(kMapLeft, 2));
    Send(Hold(kMapUp));  // no commands at all: no hold
    Drain();
    const auto t = clock_.Now();
    EXPECT_EQ(engine_.ActiveHoldCount(), 1u);
    ExpectQuietFor(99ms);
    AdvanceUntil(1ms, [&] { return commands_.Count() == 2; });
    // The board's own hold reports do not move the cadence.
    clock_.Advance(50ms);
    Send(Hold(kMapLeft, 3));
    Send(Hold(kMapLeft, 4));
    Drain();
    AdvanceUntil(50ms, [&] { return commands_.Count() == 3; });
    Send(Press(kMapLeft));  // a press ends the hold before its command
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
    ExpectQuietFor(300ms);
    const auto calls = commands_.Calls();
    EXPECT_EQ(calls, (std::vector<RpnCall>{SentNow("map left"), SentNow("map left hold"),
                                           SentNow("map left hold"), SentNow("map left")}));
    EXPECT_EQ(calls[1].time - t, 100ms);
    EXPECT_EQ(calls[2].time - t, 200ms);
}

// A repeat period below 1 ms is 10 ms; after a stall the cadence starts afresh, without a burst.
TEST_F(MappingEngineTest, MapHoldAfterAStallDoesNotBurst) {
    config_.mobiflight.mapHoldRepeatMs = 0;
    StartEngine();
    Send(Hold(kMapLeft));
    Drain();
    ExpectQuietFor(9ms);
    AdvanceUntil(1ms, [&] { return commands_.Count() == 1; });
    AdvanceUntil(1000ms, [&] { return commands_.Count() == 2; });
    EXPECT_EQ(commands_.Count(), 2u);
    AdvanceUntil(10ms, [&] { return commands_.Count() == 3; });
}

TEST_F(MappingEngineTest, MapHoldsOnTwoBoardsAndTwoRolesRunApart) {
    StartEngine();
    Send(Hold(kMapRight), "B0", 0);
    Send(Hold(kMapRight), "B1", 1);        // no HOLD command: its PRESS command repeats
    Send(Hold(kMapRight, 2, 1), "B1", 1);  // the same board as MFD
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 3u);
    Send(Release(kMapRight), "B1", 1);
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 2u);
    AdvanceUntil(100ms, [&] { return commands_.Count() == 2; });
    EXPECT_EQ(commands_.Calls(),
              (std::vector<RpnCall>{SentNow("map right"), SentNow("map right")}));
}

TEST_F(MappingEngineTest, LedShowsAndNavSwapHoldsHoldTheBoardsLedsOff) {
    StartEngine();
    const HidEvent show = test::PanelEvent(4, 0, 0);
    Send(show, "B1", 1);
    Send(Press(kNavSwap), "B0", 0);  // a press does not
    Send(Hold(kNavSwap), "", 7);     // no name: by index
    Drain();
    EXPECT_EQ(leds_.Invalidated(), (std::vector<PanelBoard>{{"B1", 1}, {"", 7}}));
    EXPECT_FALSE(engine_.IsOutputSuppressed({"B0", 0}));
    EXPECT_TRUE(engine_.IsOutputSuppressed({"", 7}));
    EXPECT_FALSE(engine_.IsOutputSuppressed({"X", 7}));
    // A refresh leaves the held-off board alone.
    AdvanceUntil(1000ms, [&] { return leds_.ListCalls() == 1; });
    ASSERT_EQ(leds_.Writes().size(), 1u);
    EXPECT_EQ(leds_.Writes()[0].board, (PanelBoard{"B0", 0}));
    Send(show, "B1", 1);  // extends B1's hold-off
    Drain();
    clock_.Advance(500ms);
    EXPECT_TRUE(engine_.IsOutputSuppressed({"B1", 1}));
    EXPECT_FALSE(engine_.IsOutputSuppressed({"", 7}));
    // Its hold-off over, the board is written again at the next refresh.
    AdvanceUntil(1000ms, [&] { return leds_.Writes().size() == 3; });
    EXPECT_EQ(leds_.Writes()[2].board, (PanelBoard{"B1", 1}));
}

TEST_F(MappingEngineTest, RefreshRequestsAreDebouncedButNeverPastASecond) {
    StartEngine();
    for (int i = 0; i < 3; ++i) {
        engine_.RequestOutputRefresh();
        clock_.Advance(30ms);
    }
    ExpectQuietFor(19ms);
    AdvanceUntil(1ms, [&] { return leds_.ListCalls() == 1; });
    EXPECT_EQ(leds_.Writes().size(), 2u);
    // A request every 30 ms keeps restarting the debounce: a second after the previous refresh
    // the boards are refreshed all the same.
    for (int i = 0; i < 33; ++i) {
        engine_.RequestOutputRefresh();
        clock_.Advance(30ms);
    }
    clock_.Settle();
    EXPECT_EQ(leds_.ListCalls(), 1);
    engine_.RequestOutputRefresh();
    AdvanceUntil(30ms, [&] { return leds_.ListCalls() == 2; });
    // Without requests, once a second.
    ExpectQuietFor(999ms);
    AdvanceUntil(1ms, [&] { return leds_.ListCalls() == 3; });
}

TEST_F(MappingEngineTest, StateFollowsConnectionBatteryAndLighting) {
    config_.outputs.debounceMs = 0;
    StartEngine();
    auto refresh = [&] {
        leds_.Clear();
        engine_.RequestOutputRefresh();
        EXPECT_TRUE(WaitUntil([&] { return leds_.Writes().size() == 2; }));
        clock_.Settle();
        return leds_.Writes()[1].state;
    };
    EXPECT_EQ(refresh(), (LedState{3, 0, 4, 150, 100}));  // disconnected: flash
    engine_.SetSimConnected(true);
    EXPECT_EQ(refresh(), (LedState{1, 80, 0, 0, 0}));  // battery and level unknown
    status_.SetBattery(false);
    EXPECT_EQ(refresh(), (LedState{2, 0, 5, 1000, 50}));  // battery off: breathe
    status_.SetBattery(true);
    leds_.Clear();
    engine_.OnMobiFlightText("L:LIGHTING_POTENTIOMETER_5=0.4");  // requests a refresh itself
    EXPECT_TRUE(WaitUntil([&] { return leds_.Writes().size() == 2; }));
    EXPECT_EQ(leds_.Writes()[1].state, (LedState{1, 40, 0, 0, 0}));
    EXPECT_TRUE(
        log_.Contains("DEBUG", "State update: backlight LIGHTING_POTENTIOMETER_5=0.400000"));
    // Texts without a level warn only when they name the variable, and change nothing.
    for (const char* text :
         {"MF.LVars: LIGHTING_POTENTIOMETER_5", "hello", "LIGHTING_POTENTIOMETER_5=nan"}) {
        engine_.OnMobiFlightText(text);
    }
    EXPECT_EQ(status_.ReadLighting().level, 0.4);
    const std::string head = "Backlight LVar payload received but could not be parsed: ";
    EXPECT_EQ(log_.Find("WARN"),
              (std::vector<std::string>{head + "MF.LVars: LIGHTING_POTENTIOMETER_5",
                                        head + "LIGHTING_POTENTIOMETER_5=nan"}));
    ExpectQuietFor(100ms);
}

}  // namespace
}  // namespace tarnwick
