// What a panel event resolves to, over the small cockpit of MappingTestSupport.h: rows of event,
// board and client states against the decision and the DEBUG line.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapping/EventResolution.h"
#include "mapping/MappingTestSupport.h"

namespace tarnwick {
namespace {

using test::Hold;
using test::Press;
using test::Release;
using test::Turn;

// The decision in one line: outcome, command, mode and count, event, withdrawal, hold-off, hold
// key and the line it logs before acting.
std::string Describe(const EventDecision& d) {
    static const char* const outcomes[] = {"none",     "queue",       "map press",
                                           "map hold", "map release", "event"};
    static const char* const modes[] = {" plain x", " dedupe x", " counted x"};
    auto part = [](const char* head, const std::string& text, const char* tail = "") {
        return text.empty() ? std::string() : head + text + tail;
    };
    return outcomes[static_cast<int>(d.outcome)] + part(" '", d.command, "'") +
           (d.outcome == EventOutcome::QueueCommand
                ? modes[static_cast<int>(d.mode)] + std::to_string(d.count)
                : "") +
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
    const char* board = "B0";
    std::int32_t index = 0;
};

class EventResolutionTest : public testing::Test {
protected:
    void SetUp() override { test::LoadNames(dir_, buttons_, eventMap_); }

    void Check(const std::vector<Row>& rows) {
        for (const Row& row : rows) {
            config_.mobiflight.enabled = (row.bits & kNoMobiFlight) == 0;
            const EventDecision d = ResolveEvent(
                row.event, PanelBoard{row.board, row.index}, config_, buttons_, eventMap_,
                (row.bits & kNotRegistered) == 0, (row.bits & kSimDown) == 0);
            EXPECT_EQ(Describe(d), row.decision) << "row " << (&row - rows.data());
            EXPECT_TRUE(row.line.empty() || d.DebugLine(true) == row.line) << d.DebugLine(true);
        }
    }

    test::TempDir dir_;
    AppConfig config_ = test::MakeConfig();  // B0 plays the MFD, index 1 the copilot
    ButtonConfig buttons_;
    HidEventMap eventMap_;
};

constexpr std::uint16_t kAp = 5, kFd = 6, kUnnamedAp = 7, kHdg = 21, kNavSwap = 30, kMapLeft = 40,
                        kMapRight = 41, kMapUp = 42, kSoftkey = 50;

TEST_F(EventResolutionTest, Table) {
    const std::string b0 = "HID event from B0 index=0 type=";
    const std::string pfd = " role=PFD configuredRole=MFD(";
    Check({
        // Roles: the mode byte first, then the board's entry by name or index, else none.
        {Press(kSoftkey), "queue 'softkey pfd' plain x1",
         b0 + "1 action=BUTTON_PRESS" + pfd + "BUTTON) controlId=50(SOFTKEY) value=1 speed=0 " +
             "mode=0 rpn=queued"},
        {Press(kSoftkey, 1), "queue 'softkey' plain x1",
         b0 + "1 action=BUTTON_PRESS role=MFD(BUTTON) controlId=50(SOFTKEY) value=1 speed=0 " +
             "mode=1 rpn=queued"},
        {Press(kSoftkey, 2), "queue 'softkey' plain x1",
         "HID event from UNLISTED index=7 type=1 action=BUTTON_PRESS(BUTTON) controlId=50"
         "(SOFTKEY) value=1 speed=0 mode=2 rpn=queued",
         kUp, "UNLISTED", 7},
        {Press(kSoftkey, 2), "queue 'softkey copilot' plain x1", "", kUp, "OTHER", 1},
        {Press(kSoftkey, 1), "queue 'softkey' plain x1", "", kUp, "OTHER", 1},
        // Encoders: counted by detents or speed; a fast turn takes its _FAST command once.
        {Turn(kHdg, -3), "queue 'hdg dec' counted x3",
         b0 + "2 action=ENC_CCW" + pfd + "ENCODER) controlId=21(HDG_KNOB) value=-3 speed=0 " +
             "mode=0 mfAmount=3 rpn=queued"},
        {Turn(kHdg, -1, 4), "queue 'hdg dec fast' counted x1",
         b0 + "2 action=ENC_CCW" + pfd + "ENCODER) controlId=21(HDG_KNOB) value=-1 speed=4 " +
             "mode=0 mfAmount=1 fast=1 rpn=queued"},
        {Turn(kHdg, 2, 5), "queue 'hdg inc' counted x5"},   // no CW_FAST
        {Turn(kHdg, -1, 3), "queue 'hdg dec' counted x3"},  // below the fast speed
        {Turn(kHdg, 0, 9), "none",
         b0 + "2" + pfd + "ENCODER) controlId=21(HDG_KNOB) value=0 speed=9 mode=0"},
        {Turn(kMapLeft, 2), "queue 'map left cw' counted x2"},  // a map control's turn
        // Holds deduplicate; a release withdraws the waiting hold repeats.
        {Hold(kSoftkey, 3), "queue 'softkey hold' dedupe x1"},
        {Release(kSoftkey), "queue 'softkey up' plain x1 withdraw 'softkey hold'"},
        {Release(kSoftkey), "none", "", kNoMobiFlight},
        // Autopilot presses the button configuration does not know.
        {Press(kUnnamedAp), "event AP_HDG_HOLD",
         b0 + "1 action=BUTTON_PRESS" + pfd + "BUTTON) controlId=7 value=1 speed=0 mode=0 " +
             "simEvent=sent"},
        {Press(kFd), "event TOGGLE_FLIGHT_DIRECTOR"},  // named, not configured
        {Press(kUnnamedAp), "event AP_HDG_HOLD", "", kNoMobiFlight},
        {Hold(kUnnamedAp), "none"},
        {Press(10), "none"},  // not in the table
        {Press(kUnnamedAp), "none", "", kSimDown},
        {Press(kAp), "none"},  // configured without a PRESS: never the table
        {Release(kAp), "none DEBUG MobiFlight not ready; using SimConnect fallback for AP", "",
         kNotRegistered},
        // The managed map: a press sends at once, a hold repeats HOLD or else PRESS, per board
        // and role.
        {Press(kMapLeft), "map press 'map left' key=B0|0|40|PFD"},
        {Hold(kMapLeft), "map hold 'map left hold' key=B0|0|40|PFD",
         b0 + "1 action=HOLD role=PFD(BUTTON) controlId=40(MAP_LEFT) value=2 speed=0 mode=0"},
        {Hold(kMapLeft, 2, 2), "map hold 'map left hold' key=B1|1|40|copilot", "", kUp, "B1", 1},
        {Hold(kMapLeft), "map hold 'map left hold' key=|-1|40|PFD", "", kUp, "", -1},
        {Release(kMapLeft), "map release withdraw 'map left hold' key=B0|0|40|PFD"},
        {Hold(kMapRight), "map hold 'map right' key=B0|0|41|PFD"},
        {Hold(kMapUp), "map hold key=B0|0|42|PFD"},  // no commands: no hold
        {Hold(kMapLeft), "none", "", kNoMobiFlight},
        // LED hold-offs: the boards' own LED show, and a long press of NAV_SWAP.
        {test::PanelEvent(4, 0, 0), "none hold-off"},
        {Hold(kNavSwap), "queue 'nav swap hold' dedupe x1 hold-off"},
        {Press(kNavSwap), "queue 'nav swap' plain x1"},
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
    std::string error;
    ASSERT_TRUE(buttons_.Load(dir_.Write("long.json", json), error)) << error;
    const std::string tail = " is too long (239 bytes, at most 238); not sent";
    Check({
        {Press(kFd), "none ERROR Command for FD PRESS" + tail},
        {Press(43), "map press key=B0|0|43|PFD ERROR Command for MAP_DOWN PRESS" + tail},
        {Hold(43), "map hold key=B0|0|43|PFD ERROR Command for MAP_DOWN HOLD" + tail},
        {Turn(kHdg, -1, 5), "none ERROR Command for HDG_KNOB CCW_FAST" + tail},
        {Turn(kHdg, 1), "queue '" + fits + "' counted x1"},
    });
}

}  // namespace
}  // namespace tarnwick
