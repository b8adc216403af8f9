// The mapping engine's pure rules, as tables: what a panel event resolves to over the small
// cockpit of MappingTestSupport.h (the decision and the DEBUG line), what a board shows for a
// simulator state, and the lighting level read from the module's texts.
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "config/OutputProfile.h"
#include "mapping/EventResolution.h"
#include "mapping/MappingTestSupport.h"
#include "mapping/OutputState.h"

namespace tarnwick {
namespace {

using namespace test;

// The decision in one line: outcome, command, mode and count, event, withdrawal, hold-off, hold
// key and the line it logs before acting.
std::string Describe(const EventDecision& d) {
    static const char* const outcomes[] = {"none",     "queue",       "map press",
                                           "map hold", "map release", "event"};
    static const char* const modes[] = {" plain x", " dedupe x", " counted x"};
    auto part = [](const char* head, const std::string& text, const char* tail = "") {
        return text.empty() ? std::string() : head + text + tail;
    };
    const bool queued = d.outcome == EventOutcome::QueueCommand;
    return outcomes[static_cast<int>(d.outcome)] + part(" '", d.command, "'") +
           part(modes[static_cast<int>(d.mode)], queued ? std::to_string(d.count) : "") +
           part(" ", d.simEvent) + part(" withdraw '", d.withdrawRepeats, "'") +
           (d.holdOffOutputs ? " hold-off" : "") + part(" key=", d.holdKey) +
           part(" DEBUG ", d.notReadyLine) + part(" ERROR ", d.refusalLine);
}

enum Bits : unsigned { kUp = 0, kNoMobiFlight = 1, kNotRegistered = 2, kSimDown = 4 };

struct Row {
    HidProtocol::HidEvent event;
    std::string decision;
    std::string line = {};  // the DEBUG line once sent; not compared when empty
    unsigned bits = kUp;
    PanelBoard board = {"B0", 0};
};

class EventResolutionTest : public testing::Test {
protected:
    void SetUp() override { LoadNames(buttons_, eventMap_); }

    void Check(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            config_.mobiflight.enabled = (row.bits & kNoMobiFlight) == 0;
            const EventDecision d =
                ResolveEvent(row.event, row.board, config_, buttons_, eventMap_,
                             (row.bits & kNotRegistered) == 0, (row.bits & kSimDown) == 0);
            EXPECT_EQ(Describe(d), row.decision) << "row " << (&row - rows.data());
            EXPECT_TRUE(row.line.empty() || d.DebugLine(true) == row.line) << d.DebugLine(true);
        }
    }

    TempDir dir_;
    AppConfig config_ = MakeConfig();  // B0 plays the MFD, index 1 the copilot
    ButtonConfig buttons_;
    HidEventMap eventMap_;
};

TEST_F(EventResolutionTest, Table) {
    const std::string b0 = "HID event from B0 index=0 type=", pfd = " role=PFD configuredRole=MFD(";
    const std::string press = "1 action=BUTTON_PRESS",
                      sk = "BUTTON) controlId=50(SOFTKEY) value=1 speed=0 mode=";
    const PanelBoard unlisted{"UNLISTED", 7};
    Check({
        // Roles: the mode byte first, then the board's entry by name or index, else none.
        {Press(kSoftkey), "queue 'softkey pfd' plain x1", b0 + press + pfd + sk + "0 rpn=queued"},
        {Press(kSoftkey, 1), "queue 'softkey' plain x1",
         b0 + press + " role=MFD(" + sk + "1 rpn=queued"},
        {Press(kSoftkey, 2), "queue 'softkey' plain x1",
         "HID event from UNLISTED index=7 type=" + press + "(" + sk + "2 rpn=queued", kUp,
         unlisted},
        {Press(kSoftkey, 2), "queue 'softkey copilot' plain x1", "", kUp, {"OTHER", 1}},
        // Encoders: counted by detents or speed; a fast turn takes its _FAST command once.
        {Turn(kHdg, -3), "queue 'hdg dec' counted x3"},
        {Turn(kHdg, -1, 4), "queue 'hdg dec fast' counted x1",
         b0 + "2 action=ENC_CCW" + pfd + "ENCODER) controlId=21(HDG_KNOB) value=-1 speed=4 " +
             "mode=0 mfAmount=1 fast=1 rpn=queued"},
        {Turn(kHdg, 2, 5), "queue 'hdg inc' counted x5"},   // no CW_FAST
        {Turn(kHdg, -1, 3), "queue 'hdg dec' counted x3"},  // below the fast speed
        {Turn(kHdg, 0, 9), "none",
         b0 + "2" + pfd + "ENCODER) controlId=21(HDG_KNOB) value=0 speed=9 mode=0"},
        {Turn(kMapLeft, 2), "queue 'map left cw' counted x2"},  // a map control's turn
        // A release withdraws the waiting hold repeats.
        {Release(kSoftkey), "queue 'softkey up' plain x1 withdraw 'softkey hold'"},
        // Autopilot presses the button configuration does not know.
        {Press(kUnnamedAp), "event AP_HDG_HOLD",
         b0 + "1 action=BUTTON_PRESS" + pfd + "BUTTON) controlId=7 value=1 speed=0 mode=0 " +
             "simEvent=sent"},
        {Press(kFd), "event TOGGLE_FLIGHT_DIRECTOR"},  // named, not configured
        {Hold(kUnnamedAp), "none"},
        {Press(10), "none"},  // not in the table
        {Press(kUnnamedAp), "none", "", kSimDown},
        {Press(kAp), "none"},  // configured without a PRESS: never the table
        {Release(kAp), "none DEBUG MobiFlight not ready; using SimConnect fallback for AP", "",
         kNotRegistered},
        // The managed map: holds per board and role.
        {Hold(kMapLeft), "map hold 'map left hold' key=B0|0|40|PFD",
         b0 + "1 action=HOLD role=PFD(BUTTON) controlId=40(MAP_LEFT) value=2 speed=0 mode=0"},
        {Hold(kMapLeft, 2, 2), "map hold 'map left hold' key=B1|1|40|copilot", "", kUp, {"B1", 1}},
        {Release(kMapLeft), "map release withdraw 'map left hold' key=B0|0|40|PFD"},
        {Hold(kMapLeft), "none", "", kNoMobiFlight},
        // A long press of NAV_SWAP holds the board's LEDs off.
        {Hold(kNavSwap), "queue 'nav swap hold' dedupe x1 hold-off"},
    });
}

// A command longer than the MobiFlight command block holds is refused, not cut.
TEST_F(EventResolutionTest, OverLongCommandsAreRefused) {
    const std::string fits(238, '1');
    std::string json = R"({"buttons": [
      {"name": "FD", "commands": {"PRESS": {"": "L"}}},
      {"name": "MAP_DOWN", "commands": {"PRESS": {"": "L"}, "HOLD": {"": "L"}}}],
      "knobs": [{"name": "HDG_KNOB", "commands": {"CW": {"": "F"}, "CCW_FAST": {"": "L"}}}]})";
    for (std::size_t at = 0; (at = json.find(R"("": ")", at)) != std::string::npos;) {
        at += 5;
        json.replace(at, 1, json[at] == 'L' ? std::string(239, '2') : fits);
    }
    ASSERT_TRUE(buttons_.Load(dir_.Write("long.json", json)));
    const std::string tail = " is too long (239 bytes, at most 238); not sent";
    Check({
        {Press(kFd), "none ERROR Command for FD PRESS" + tail},
        {Press(43), "map press key=B0|0|43|PFD ERROR Command for MAP_DOWN PRESS" + tail},
        {Hold(43), "map hold key=B0|0|43|PFD ERROR Command for MAP_DOWN HOLD" + tail},
        {Turn(kHdg, -1, 5), "none ERROR Command for HDG_KNOB CCW_FAST" + tail},
        {Turn(kHdg, 1), "queue '" + fits + "' counted x1"},
    });
}

using HidProtocol::LedState;

OutputProfile Backlight(const char* mode, double scale, std::int32_t min, std::int32_t max,
                        std::int32_t value = 80) {
    OutputProfile profile = BuiltInDefaultProfile();
    profile.backlight = BacklightSettings{mode, min, max, 80, value, scale};
    return profile;
}
TEST(OutputStateTest, LedStateOfTheSimulatorState) {
    const OutputProfile standard = BuiltInDefaultProfile();  // lvar 0-100 x1, default 80
    const SimStatus::Battery unknown{false, false}, on{true, true}, off{true, false};
    // A battery never reported counts as on, an unknown level is the profile's default; a battery
    // off breathes, a lost simulator flashes whatever the battery.
    EXPECT_EQ(ComputeLedState(standard, true, unknown, {false, 0.0}), (LedState{1, 80, 0, 0, 0}));
    EXPECT_EQ(ComputeLedState(standard, true, off, {true, 0.5}), (LedState{2, 0, 5, 1000, 50}));
    EXPECT_EQ(ComputeLedState(standard, false, off, {true, 0.5}), (LedState{3, 0, 4, 150, 100}));
    const std::vector<std::tuple<OutputProfile, double, int>> levels = {
        // Up to 1.0 a level is a fraction; scaled, rounded half away from zero, held to the
        // profile's range and then to a byte.
        {standard, 1.0, 100},
        {standard, 1.5, 2},
        {Backlight("LVAR", 3.0, 0, 255), 0.5, 150},
        {Backlight("LVAR", 0.5, 0, 100), 5.0, 3},
        {Backlight("LVAR", 10.0, 0, 1000), 90.0, 255},
        {Backlight("LVAR", 1.0, -50, 100), -30.0, 0},
        // Levels beyond any integer, and a result that is not a number: held to the range.
        {Backlight("LVAR", 1.0, 10, 90), 1e300, 90},
        {Backlight("LVAR", 1.0, 10, 90), -1e300, 10},
        {Backlight("LVAR", 1.0, 10, 90), NAN, 10},
        // FIXED and OFF ignore the level; FIXED is held to a byte.
        {Backlight(" fixed ", 1.0, 0, 100, 300), 0.5, 255},
        {Backlight("Off", 1.0, 0, 100), 0.5, 0}};
    for (const auto& [profile, level, brightness] : levels) {
        const LedState expected{1, static_cast<std::uint8_t>(brightness), 0, 0, 0};
        EXPECT_EQ(ComputeLedState(profile, true, on, {true, level}), expected)
            << profile.backlight.mode << " " << level;
    }
    // Effects by name, whatever the case and spaces; each number held to its field.
    const std::vector<std::pair<LedEffect, LedState>> effects = {
        {{"steady", 300, 9, 9, 9}, {1, 255, 0, 0, 0}},
        {{" Bre athe", 0, 300, 70000, -3}, {2, 0, 255, 65535, 0}},
        {{"FLASH", 0, -1, -1, 256}, {3, 0, 0, 0, 255}},
        {{"sparkle", 100, 1, 1, 1}, {}}};
    for (const auto& [effect, expected] : effects) {
        EXPECT_EQ(ComputeEffectState(effect), expected) << effect.effect;
    }
}

TEST(OutputStateTest, LightingLevelTexts) {
    constexpr double kNone = -99.0;  // no level read
    // The whole text a number, or the variable's value up to ';' or the line's end; never a
    // number a brightness cannot be computed from.
    const std::vector<std::pair<std::string, double>> cases = {
        {"0.5", 0.5},
        {"  -3e1", -30.0},
        {"x;l:lighting_potentiometer_5= 42 ;y", 42.0},
        {"LIGHTING_POTENTIOMETER_5=0.25\r\nrest", 0.25},
        {"(L:LIGHTING_POTENTIOMETER_5) = 7abc", 7.0},
        {"0.5abc", kNone},
        {std::string("0.5\0", 4), kNone},
        {"OTHER=0.5", kNone},
        {"L:LIGHTING_POTENTIOMETER_5", kNone},
        {"L:LIGHTING_POTENTIOMETER_5==1", kNone},
        {"1e999", kNone},
        {"L:LIGHTING_POTENTIOMETER_5=-infinity", kNone}};
    for (const auto& [text, expected] : cases) {
        double level = kNone;
        EXPECT_EQ(ParseLightingLevel(text, level), expected != kNone) << text;
        EXPECT_DOUBLE_EQ(level, expected) << text;
    }
}

}  // namespace
}  // namespace tarnwick
