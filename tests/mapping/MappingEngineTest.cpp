// The engine over fake ports and a hand-moved clock: what only its workers show (acting on
// resolved events in order, withdrawals, the managed map's cadence, the output timing and
// hold-offs). What an event resolves to is EventResolutionTest's, what a board shows
// OutputStateTest's.
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
using test::Hold;
using test::Press;
using test::Release;
using Lines = std::vector<std::string>;

constexpr std::uint16_t kFd = 6, kUnnamedAp = 7, kNavSwap = 30, kMapLeft = 40, kMapRight = 41,
                        kMapUp = 42, kSoftkey = 50;

class MappingEngineTest : public testing::Test {
protected:
    void SetUp() override {
        test::LoadNames(dir_, buttons_, eventMap_);
        leds_.SetDevices({{"B0", 0}, {"B1", 1}});
    }
    void TearDown() override { engine_.Stop(); }

    Result Start() {
        return engine_.Start(MappingCollaborators{&config_, &leds_, &sim_, &commands_, &buttons_,
                                                  &eventMap_, &status_});
    }
    // With the button configuration `buttons` in place of the shared one, when given.
    void StartEngine(const std::string& buttons = "") {
        std::string error;
        ASSERT_TRUE(buttons.empty() || buttons_.Load(dir_.Write("b.json", buttons), error))
            << error;
        ASSERT_TRUE(Start());
        clock_.SetWorkers(3);
        clock_.Settle();  // the output worker counts its first periodic refresh from its start
    }
    void Send(const HidProtocol::HidEvent& event, const std::string& board = "B0",
              std::int32_t index = 0) {
        engine_.OnHidEvent(event, board, index);
    }
    // Events are handled in order: once a marker event's line is logged, so are all before it.
    void Drain() {
        const std::string board = "DRAIN" + std::to_string(drains_++);
        Send(test::PanelEvent(9, 999, 0), board);
        ASSERT_TRUE(test::WaitUntil(
            [&] { return !log_.Find("DEBUG", "HID event from " + board + " ").empty(); }));
    }
    // Moves the clock by `step`, waits until `done` holds and then until the workers rest.
    void AdvanceUntil(std::chrono::milliseconds step, const std::function<bool()>& done) {
        clock_.Advance(step);
        ASSERT_TRUE(test::WaitUntil(done));
        clock_.Settle();
    }
    // Nothing happens until `due`, and then `done` holds.
    void ExpectAt(std::chrono::milliseconds due, const std::function<bool()>& done) {
        const std::size_t calls = commands_.Count() + leds_.Count();
        clock_.Advance(due - 1ms);
        clock_.Settle();
        EXPECT_EQ(commands_.Count() + leds_.Count(), calls);
        AdvanceUntil(1ms, done);
    }

    test::TempDir dir_;
    test::LogCapture log_{true};
    test::ManualClock clock_;
    test::FakeLeds leds_;
    test::FakeCommands commands_;
    test::FakeSimEvents sim_;
    SimStatus status_;
    AppConfig config_ = test::MakeConfig();  // map holds repeat every 100 ms
    ButtonConfig buttons_;
    HidEventMap eventMap_;
    int drains_ = 0;
    MappingEngine engine_{clock_};
};

// Events wait in one queue. A release drops the holds of its own button still waiting there (never
// its presses, nor the holds of another button or board), then withdraws the hold's repeats the
// port still has, even when the hold's text is the press's.
TEST_F(MappingEngineTest, AHoldThatIsThePressStillHasItsRepeatsWithdrawn) {
    StartEngine(R"({"buttons": [{"name": "SOFTKEY", "commands": {"PRESS": {"": "tap"},
        "HOLD": {"": "tap"}, "RELEASE": {"": "up"}}}, {"name": "NAV_SWAP", "commands": {
        "HOLD": {"": "swap"}}}]})");
    commands_.SetGate(false);
    Send(Press(kSoftkey));  // the worker stops here until the gate opens
    for (const std::int8_t value : {2, 3, 1, 4}) {
        Send(Hold(kSoftkey, value));  // 1: a press
    }
    Send(Hold(kSoftkey, 2), "B1", 1);
    Send(Hold(kNavSwap, 2));
    Send(Release(kSoftkey));
    commands_.SetGate(true);
    Drain();
    EXPECT_EQ(commands_.Calls(),
              (Lines{"queue tap plain x1", "queue tap plain x1", "queue tap dedupe x1",
                     "queue swap dedupe x1", "cancel tap", "queue up plain x1"}));
}

TEST_F(MappingEngineTest, EventsAreSentAndFailuresAndRefusalsReported) {
    StartEngine(R"({"buttons": [{"name": "FD", "commands": {"PRESS": {"": ")" +
                std::string(239, '2') + R"("}}},
      {"name": "MAP_LEFT", "commands": {"PRESS": {"": "map"}}},
      {"name": "SOFTKEY", "commands": {"PRESS": {"": "softkey"}}}]})");
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
    AdvanceUntil(100ms, [&] { return commands_.Count() == 3; });
    AdvanceUntil(100ms, [&] { return commands_.Count() == 4; });
    EXPECT_EQ(sim_.Calls(), (Lines{"AP_HDG_HOLD=0", "AP_HDG_HOLD=0"}));
    EXPECT_EQ(commands_.Calls(),
              (Lines{"queue softkey plain x1", "now map", "now map", "now map"}));
    const std::string hold = "Managed map hold send failed: MobiFlight not ready";
    EXPECT_EQ(
        log_.Find("WARN"),
        (Lines{"SimConnect send failed for AP_HDG_HOLD: SimConnect is not connected",
               "MobiFlight RPN send failed for SOFTKEY: MobiFlight not running",
               "Managed map press send failed for MAP_LEFT: MobiFlight not ready", hold, hold}));
    EXPECT_EQ(log_.Find("ERROR"),
              Lines{"Command for FD PRESS is too long (239 bytes, at most 238); not sent"});
    // The event line says what went out.
    const std::string head =
        "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD "
        "configuredRole=MFD(BUTTON) controlId=";
    EXPECT_EQ(log_.Find("DEBUG", head),
              (Lines{head + "7 value=1 speed=0 mode=0 simEvent=sent",
                     head + "7 value=1 speed=0 mode=0", head + "50(SOFTKEY) value=1 speed=0 mode=0",
                     head + "6(FD) value=1 speed=0 mode=0"}));
}

// The managed map repeats each hold, per board and role, on the engine's own cadence: the board's
// own hold reports do not move it, a press or a release ends it, and so does Stop.
TEST_F(MappingEngineTest, MapHoldsRepeatOnTheEnginesOwnCadenceUntilEnded) {
    StartEngine();
    EXPECT_EQ(Start().Error(), "Mapping engine already running");
    Send(Press(kMapLeft));
    Send(Hold(kMapLeft, 2));
    Send(Hold(kMapUp));                    // no commands at all: no hold
    Send(Hold(kMapRight), "B1", 1);        // no HOLD command: its PRESS command repeats
    Send(Hold(kMapRight, 2, 1), "B1", 1);  // the same board as MFD
    Drain();
    Send(Release(kMapRight), "B1", 1);  // ends the first
    Drain();
    EXPECT_EQ(engine_.ActiveHoldCount(), 2u);
    ExpectAt(100ms, [&] { return commands_.Count() == 3; });
    clock_.Advance(50ms);
    Send(Hold(kMapLeft, 3));
    Drain();
    ExpectAt(50ms, [&] { return commands_.Count() == 5; });
    Send(Press(kMapLeft));  // ends the hold before its command
    Drain();
    EXPECT_EQ(commands_.Count("now map left hold"), 2u);
    EXPECT_EQ(commands_.Calls().back(), "now map left");
    engine_.Stop();
    engine_.Stop();
    clock_.SetWorkers(0);
    EXPECT_EQ(engine_.ActiveHoldCount(), 0u);

    // Events offered while stopped are not kept for the next run. A repeat period below 1 ms is
    // 10 ms; after a stall the cadence starts afresh, without a burst.
    Send(Press(kUnnamedAp));
    config_.mobiflight.mapHoldRepeatMs = 0;
    StartEngine();
    Send(Hold(kMapLeft));
    Drain();
    EXPECT_EQ(sim_.Calls().size(), 0u);
    const std::size_t sent = commands_.Count();
    ExpectAt(10ms, [&] { return commands_.Count() == sent + 1; });
    AdvanceUntil(1000ms, [&] { return commands_.Count() == sent + 2; });
    EXPECT_EQ(commands_.Count(), sent + 2);
    AdvanceUntil(10ms, [&] { return commands_.Count() == sent + 3; });
}

// Requests are debounced, but never past a second after the previous refresh; without them the
// boards are refreshed once a second. A board's LED show or a NAV_SWAP hold keeps its LEDs out of
// refreshes for 1.5 s. A lighting level from the module refreshes them.
TEST_F(MappingEngineTest, OutputsRefreshOnTimeAndSkipHeldOffBoards) {
    StartEngine();
    for (int i = 0; i < 36; ++i) {
        engine_.RequestOutputRefresh();
        clock_.Advance(30ms);
        if (i == 2) {
            ExpectAt(20ms, [&] { return leds_.Count("list") == 1; });
        }
    }
    clock_.Settle();
    EXPECT_EQ(leds_.Count("list"), 1u);
    engine_.RequestOutputRefresh();
    AdvanceUntil(30ms, [&] { return leds_.Count("list") == 2; });
    ExpectAt(1000ms, [&] { return leds_.Count("list") == 3; });

    const std::size_t mark = leds_.Calls().size();
    Send(test::PanelEvent(4, 0, 0), "B1", 1);  // the board's own LED show
    Send(Press(kNavSwap));                     // a press does not hold off
    Send(Hold(kNavSwap), "", 7);               // no name: by index
    Drain();
    EXPECT_TRUE(engine_.IsOutputSuppressed({"", 7}));
    EXPECT_FALSE(engine_.IsOutputSuppressed({"X", 7}));
    AdvanceUntil(1000ms, [&] { return leds_.Count("list") == 4; });
    Send(test::PanelEvent(4, 0, 0), "B1", 1);  // extends B1's hold-off
    Drain();
    clock_.Advance(500ms);
    EXPECT_TRUE(engine_.IsOutputSuppressed({"B1", 1}));
    EXPECT_FALSE(engine_.IsOutputSuppressed({"", 7}));
    AdvanceUntil(1000ms, [&] { return leds_.Count("list") == 5; });
    engine_.SetSimConnected(true);
    // Texts without a level warn only when they name the variable, and change nothing.
    for (const char* text : {"MF.LVars: LIGHTING_POTENTIOMETER_5", "hello",
                             "LIGHTING_POTENTIOMETER_5=nan", "L:LIGHTING_POTENTIOMETER_5=0.4"}) {
        engine_.OnMobiFlightText(text);
    }
    AdvanceUntil(50ms, [&] { return leds_.Count("list") == 6; });
    const std::string flash = " 3 0 4 150 100", lit = " 1 40 0 0 0";
    const Lines calls = leds_.Calls();
    EXPECT_EQ(Lines(calls.begin() + static_cast<std::ptrdiff_t>(mark), calls.end()),
              (Lines{"invalidate B1#1", "invalidate #7", "list", "write B0#0" + flash,
                     "invalidate B1#1", "list", "write B0#0" + flash, "write B1#1" + flash, "list",
                     "write B0#0" + lit, "write B1#1" + lit}));
    EXPECT_EQ(log_.Find("DEBUG", "State update"),
              Lines{"State update: backlight LIGHTING_POTENTIOMETER_5=0.400000"});
    const std::string head = "Backlight LVar payload received but could not be parsed: ";
    EXPECT_EQ(log_.Find("WARN"), (Lines{head + "MF.LVars: LIGHTING_POTENTIOMETER_5",
                                        head + "LIGHTING_POTENTIOMETER_5=nan"}));
}

}  // namespace
}  // namespace tarnwick
