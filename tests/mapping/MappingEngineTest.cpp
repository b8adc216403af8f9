// The engine over fake ports and a hand-moved clock: what only its workers show (acting on
// resolved events in order, withdrawals, the managed map's cadence, the output timing and
// hold-offs). What an event resolves to and what a board shows is MappingRulesTest's.
#include <memory>
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
using namespace test;
using Lines = std::vector<std::string>;

constexpr bool kQuiet = true, kAnyTime = false;

class MappingEngineTest : public testing::Test {
protected:
    // With the button configuration `buttons` in place of the shared one, when given.
    void StartEngine(const std::string& buttons = "") {
        LoadNames(buttons_, eventMap_);
        ASSERT_TRUE(buttons.empty() || buttons_.Load(dir_.Write("b", buttons)));
        ASSERT_TRUE(engine_.Start(ports_));
        clock_.SetWorkers(3);
        clock_.Settle();  // the output worker counts its first periodic refresh from its start
    }
    void Send(const HidProtocol::HidEvent& event, const std::string& board = "B0",
              std::int32_t index = 0) {
        engine_.OnHidEvent(event, board, index);
    }
    // Events are handled in order: once a marker event's line is logged, so are all before it.
    void Drain() {
        Send(PanelEvent(9, 999, 0), "DRAIN", ++drains_);
        const std::string line = "HID event from DRAIN index=" + std::to_string(drains_) + " ";
        ASSERT_TRUE(WaitUntil([&] { return !log_.Find("DEBUG", line).empty(); }));
    }
    // Moves the clock by `step` (kQuiet: seeing no call until its last millisecond), waits until
    // `done` holds and then until the workers rest.
    void Advance(std::chrono::milliseconds step, bool quiet, const std::function<bool()>& done) {
        if (quiet) {
            const std::size_t calls = commands_.Count() + leds_.Count();
            clock_.Advance(step - 1ms);
            clock_.Settle();
            EXPECT_EQ(commands_.Count() + leds_.Count(), calls);
            step = 1ms;
        }
        clock_.Advance(step);
        ASSERT_TRUE(WaitUntil(done));
        clock_.Settle();
    }

    TempDir dir_;
    LogCapture log_{true};
    ManualClock clock_;
    FakeLeds leds_{{{"B0", 0}, {"B1", 1}}};
    FakeCommands commands_;
    FakeSimEvents sim_;
    SimStatus status_;
    AppConfig config_ = MakeConfig();  // map holds repeat every 100 ms
    ButtonConfig buttons_;
    HidEventMap eventMap_;
    int drains_ = 0;
    MappingCollaborators ports_{&config_,  &leds_,     &sim_,   &commands_,
                                &buttons_, &eventMap_, &status_};
    MappingEngine engine_{clock_};
};

// Events wait in one queue. A release drops the holds of its own button still waiting there (never
// its presses, nor the holds of another board), then withdraws the hold's repeats the
// port still has, even when the hold's text is the press's.
TEST_F(MappingEngineTest, AHoldThatIsThePressStillHasItsRepeatsWithdrawn) {
    StartEngine(R"({"buttons": [{"name": "SOFTKEY", "commands": {"PRESS": {"": "tap"},
        "HOLD": {"": "tap"}, "RELEASE": {"": "up"}}}]})");
    commands_.SetGate(false);
    Send(Press(kSoftkey));  // the worker stops here until the gate opens
    for (const int value : {2, 3, 1, 4}) {
        Send(Hold(kSoftkey, static_cast<std::int8_t>(value)));  // 1: a press
    }
    Send(Hold(kSoftkey, 2), "B1", 1);
    Send(Release(kSoftkey));
    commands_.SetGate(true);
    Drain();
    EXPECT_EQ(commands_.Calls(), (Lines{"queue tap plain x1", "queue tap plain x1",
                                        "queue tap dedupe x1", "cancel tap", "queue up plain x1"}));
}

TEST_F(MappingEngineTest, EventsAreSentAndFailuresAndRefusalsReported) {
    StartEngine(R"({"buttons": [{"name": "MAP_LEFT", "commands": {"PRESS": {"": "map"}}},
      {"name": "SOFTKEY", "commands": {"PRESS": {"": "tap"}}},
      {"name": "FD", "commands": {"PRESS": {"": ")" +
                std::string(239, '2') + R"("}}}]})");
    Send(Press(kUnnamedAp));
    Drain();
    sim_.Fail("", "SimConnect is not connected");
    commands_.Fail("queue", "MobiFlight not running");
    commands_.Fail("now", "MobiFlight not ready");
    for (const std::uint16_t control : {kUnnamedAp, kSoftkey, kFd, kMapLeft}) {
        Send(Press(control));  // FD's command is too long: never sent, cut or whole
    }
    Send(Hold(kMapLeft));  // a refused repeat warns, and the hold goes on
    Drain();
    Advance(100ms, kAnyTime, [&] { return commands_.Count() == 3; });
    Advance(100ms, kAnyTime, [&] { return commands_.Count() == 4; });
    EXPECT_EQ(sim_.Calls(), (Lines{"AP_HDG_HOLD=0", "AP_HDG_HOLD=0"}));
    EXPECT_EQ(commands_.Calls(), (Lines{"queue tap plain x1", "now map", "now map", "now map"}));
    const std::string hold = "Managed map hold send failed: MobiFlight not ready";
    EXPECT_EQ(
        log_.Find("WARN"),
        (Lines{"SimConnect send failed for AP_HDG_HOLD: SimConnect is not connected",
               "MobiFlight RPN send failed for SOFTKEY: MobiFlight not running",
               "Managed map press send failed for MAP_LEFT: MobiFlight not ready", hold, hold}));
    EXPECT_EQ(log_.Find("ERROR"),
              Lines{"Command for FD PRESS is too long (239 bytes, at most 238); not sent"});
    // The event line says whether the event went out.
    const std::string ap =
        "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD "
        "configuredRole=MFD(BUTTON) controlId=7 value=1 speed=0 mode=0";
    EXPECT_EQ(log_.Find("DEBUG", ap), (Lines{ap + " simEvent=sent", ap}));
}

// The managed map repeats each hold, per board and role, on the engine's own cadence: the board's
// own hold reports do not move it, a press or a release ends it, and so does Stop.
TEST_F(MappingEngineTest, MapHoldsRepeatOnTheEnginesOwnCadenceUntilEnded) {
    StartEngine();
    EXPECT_EQ(engine_.Start(ports_).Error(), "Mapping engine already running");
    Send(Hold(kMapLeft, 2));
    Send(Hold(kMapUp));                    // no commands at all: no hold
    Send(Hold(kMapRight), "B1", 1);        // no HOLD command: its PRESS command repeats
    Send(Hold(kMapRight, 2, 1), "B1", 1);  // the same board as MFD
    Drain();
    Send(Release(kMapRight), "B1", 1);  // ends the first
    Drain();
    Advance(100ms, kQuiet, [&] { return commands_.Count() == 2; });
    clock_.Advance(50ms);
    Send(Hold(kMapLeft, 3));
    Drain();
    Advance(50ms, kQuiet, [&] { return commands_.Count() == 4; });
    Send(Press(kMapLeft));  // ends the hold before its command
    Drain();
    EXPECT_EQ(commands_.Count("now map left hold"), 2u);
    EXPECT_EQ(commands_.Calls().back(), "now map left");
    // After a stall the cadence starts afresh, without a burst.
    Advance(1000ms, kAnyTime, [&] { return commands_.Count() == 6; });
    Advance(100ms, kQuiet, [&] { return commands_.Count() == 7; });
    engine_.Stop();
    engine_.Stop();
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);

    // Events offered while stopped are not kept for the next run. A repeat period below 1 ms is
    // 10 ms.
    Send(Press(kUnnamedAp));
    config_.mobiflight.mapHoldRepeatMs = 0;
    StartEngine();
    Send(Hold(kMapLeft));
    Drain();
    EXPECT_TRUE(sim_.Calls().empty());
    Advance(10ms, kQuiet, [&] { return commands_.Count() == 8; });
}

// A new aircraft title switches the buttons at once: the old set's holds stop repeating, and what
// follows resolves in the new set; the same title again changes nothing.
TEST_F(MappingEngineTest, ANewAircraftSwitchesTheButtonSetAndEndsItsHolds) {
    StartEngine(R"({"buttons": [{"name": "MAP_LEFT", "commands": {"HOLD": {"": "hold"}}}],
      "aircraft": [{"name": "Skyhawk", "match": "172", "buttons": [
        {"name": "MAP_LEFT", "commands": {"HOLD": {"": "sky hold"}}},
        {"name": "SOFTKEY", "commands": {"PRESS": {"": "sky tap"}}}]}]})");
    Send(Hold(kMapLeft));
    Drain();
    engine_.OnAircraftTitle("Cessna 172 Skyhawk");
    engine_.OnAircraftTitle("Cessna 172 Skyhawk");
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
    Advance(200ms, kQuiet, [] { return true; });
    Send(Press(kSoftkey));
    Send(Hold(kMapLeft));
    Drain();
    Advance(100ms, kQuiet, [&] { return commands_.Count() == 2; });
    engine_.OnAircraftTitle("Airbus A320");
    Send(Press(kSoftkey));
    Drain();
    Advance(200ms, kQuiet, [] { return true; });
    EXPECT_EQ(commands_.Calls(), (Lines{"queue sky tap plain x1", "now sky hold"}));
    EXPECT_EQ(log_.Find("INFO", "Aircraft"),
              (Lines{"Aircraft: Cessna 172 Skyhawk; button set: Skyhawk",
                     "Aircraft: Airbus A320; button set: base"}));
}

// A reload hands over new buttons between two events: the next event uses them, and the map
// holds of the old set end.
TEST_F(MappingEngineTest, ReplacedButtonsApplyFromTheNextEventAndEndMapHolds) {
    StartEngine();
    Send(Hold(kMapLeft, 2));
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 1u);
    auto buttons = std::make_shared<ButtonConfig>();
    ASSERT_TRUE(buttons->Load(dir_.Write("new", R"({"buttons": [{"name": "SOFTKEY",
        "commands": {"PRESS": {"": "new tap"}}}]})")));
    engine_.ReplaceRecords({nullptr, buttons, nullptr});
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);
    Send(Press(kSoftkey));
    Drain();
    EXPECT_EQ(commands_.Calls(), Lines{"queue new tap plain x1"});
}

// Requests are debounced, but never past a second after the previous refresh; without them the
// boards are refreshed once a second. A board's LED show or a NAV_SWAP hold keeps its LEDs out of
// refreshes for 1.5 s. A lighting level from the module asks for a refresh.
TEST_F(MappingEngineTest, OutputsRefreshOnTimeAndSkipHeldOffBoards) {
    StartEngine();
    for (int i = 0; i < 36; ++i) {
        engine_.RequestOutputRefresh();
        clock_.Advance(30ms);
        if (i == 2) {
            Advance(20ms, kQuiet, [&] { return leds_.Count("list") == 1; });
        }
    }
    clock_.Settle();
    EXPECT_EQ(leds_.Count("list"), 1u);
    engine_.RequestOutputRefresh();
    Advance(30ms, kAnyTime, [&] { return leds_.Count("list") == 2; });
    Advance(1000ms, kQuiet, [&] { return leds_.Count("list") == 3; });

    Send(PanelEvent(4, 0, 0), "B1", 1);  // the board's own LED show
    Send(Hold(kNavSwap), "", 7);         // no name: by index
    Drain();
    EXPECT_FALSE(engine_.IsOutputSuppressed({"X", 7}));
    Advance(1000ms, kAnyTime, [&] { return leds_.Count("list") == 4; });
    clock_.Advance(500ms);
    EXPECT_FALSE(engine_.IsOutputSuppressed({"B1", 1}));
    // Texts without a level warn only when they name the variable, and change nothing.
    for (const char* text : {"MF.LVars: LIGHTING_POTENTIOMETER_5", "hello",
                             "LIGHTING_POTENTIOMETER_5=nan", "L:LIGHTING_POTENTIOMETER_5=0.4"}) {
        engine_.OnMobiFlightText(text);
    }
    Advance(50ms, kAnyTime, [&] { return leds_.Count("list") == 5; });
    // Held off, B1 missed the fourth refresh.
    EXPECT_EQ(leds_.Count("write B0#0"), 5u);
    EXPECT_EQ(leds_.Count("write B1#1"), 4u);
    EXPECT_EQ(leds_.Count("invalidate"), 2u);
    EXPECT_NE(log_.Count("[DEBUG] State update: backlight LIGHTING_POTENTIOMETER_5=0.400000"), 0u);
    const std::string head = "Backlight LVar payload received but could not be parsed: ";
    EXPECT_EQ(log_.Find("WARN"), (Lines{head + "MF.LVars: LIGHTING_POTENTIOMETER_5",
                                        head + "LIGHTING_POTENTIOMETER_5=nan"}));
}

}  // namespace
}  // namespace tarnwick
