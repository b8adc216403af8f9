// What a panel event resolves to, over the small cockpit of MappingTestSupport.h: rows of event,
// board and client states against the decision and the DEBUG line.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mapping/EventResolution.h"
#include "mapping/MappingTestSupport.h"

namespace tarnwick {
namespace {

using HidProtocol::HidEvent;
using test::Hold;
using test::PanelEvent;
using test::Press;
using test::Release;
using test::Turn;

// The decision in one line: outcome, command, mode and count, event, withdrawal, hold-off, hold
// key and the line it logs before acting.
std::string Describe(const EventDecision& d) {
    static const char* const outcomes[] = {"none",     "queue",       "map press",
                                           "map hold", "map release", "event"};
    static const char* const modes[] = {"plain", "dedupe", "counted"};
    std::string out = outcomes[static_cast<int>(d.outcome)];
    if (!d.command.empty()) {
        out += " '" + d.command + "'";
    }
    if (d.outcome == EventOutcome::QueueCommand) {
        out += std::string(" ") + modes[static_cast<int>(d.mode)] + " x" + std::to_string(d.count);
    }
    out += d.simEvent.empty() ? "" : " " + d.simEvent;
    out += d.withdrawRepeats.empty() ? "" : " withdraw '" + d.withdrawRepeats + "'";
    out += d.holdOffOutputs ? " hold-off" : "";
    out += d.holdKey.empty() ? "" : " key=" + d.holdKey;
    out += d.notReadyLine.empty() ? "" : " DEBUG " + d.notReadyLine;
    out += d.refusalLine.empty() ? "" : " ERROR " + d.refusalLine;
    return out;
}

enum Bits : unsigned { kUp = 0, kNoMobiFlight = 1, kNotRegistered = 2, kSimDown = 4 };

struct Row {
    HidEvent event;
    std::string decision;
    std::string line = {};  // the DEBUG line once sent; not compared when empty
    unsigned bits = kUp;
    const char* board = "B0";
    std::int32_t index = 0;
};

class EventResolutionTest : public testing::Test {
protected:
    void SetUp() override { test::LoadNames(dir_, buttons_, eventMap_); }

    EventDecision Resolve(const HidEvent& event, unsigned bits = kUp, const char* board = "B0",
                          std::int32_t index = 0) {
        config_.mobiflight.enabled = (bits & kNoMobiFlight) == 0;
        return ResolveEvent(event, PanelBoard{board, index}, config_, buttons_, eventMap_,
                            (bits & kNotRegistered) == 0, (bits & kSimDown) == 0);
    }
    void Check(const std::vector<Row>& rows) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE("row " + std::to_string(i));
            const Row& row = rows[i];
            const EventDecision decision = Resolve(row.event, row.bits, row.board, row.index);
            EXPECT_EQ(Describe(decision), row.decision);
            if (!row.line.empty()) {
                EXPECT_EQ(decision.DebugLine(true), row.line);
            }
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
    Check({
        // Roles: the mode byte first, then the board's entry by name or index, else none.
        {Press(kSoftkey), "queue 'softkey pfd' plain x1",
         "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD configuredRole=MFD"
         "(BUTTON) controlId=50(SOFTKEY) value=1 speed=0 mode=0 rpn=queued"},
        {Press(kSoftkey, 1), "queue 'softkey' plain x1",
         "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=MFD(BUTTON) controlId=50"
         "(SOFTKEY) value=1 speed=0 mode=1 rpn=queued"},
        {Press(kSoftkey, 2), "queue 'softkey' plain x1",
         "HID event from UNLISTED index=7 type=1 action=BUTTON_PRESS(BUTTON) controlId=50"
         "(SOFTKEY) value=1 speed=0 mode=2 rpn=queued",
         kUp, "UNLISTED", 7},
        {Press(kSoftkey, 2), "queue 'softkey copilot' plain x1",
         "HID event from OTHER index=1 type=1 action=BUTTON_PRESS role=copilot(BUTTON) "
         "controlId=50(SOFTKEY) value=1 speed=0 mode=2 rpn=queued",
         kUp, "OTHER", 1},
        {Press(kSoftkey, 1), "queue 'softkey' plain x1",
         "HID event from OTHER index=1 type=1 action=BUTTON_PRESS role=MFD configuredRole=copilot"
         "(BUTTON) controlId=50(SOFTKEY) value=1 speed=0 mode=1 rpn=queued",
         kUp, "OTHER", 1},
        // Encoders: counted by detents or speed; a fast turn takes its _FAST command once.
        {Turn(kHdg, -3), "queue 'hdg dec' counted x3",
         "HID event from B0 index=0 type=2 action=ENC_CCW role=PFD configuredRole=MFD(ENCODER) "
         "controlId=21(HDG_KNOB) value=-3 speed=0 mode=0 mfAmount=3 rpn=queued"},
        {Turn(kHdg, -1, 4), "queue 'hdg dec fast' counted x1",
         "HID event from B0 index=0 type=2 action=ENC_CCW role=PFD configuredRole=MFD(ENCODER) "
         "controlId=21(HDG_KNOB) value=-1 speed=4 mode=0 mfAmount=1 fast=1 rpn=queued"},
        {Turn(kHdg, 2, 5), "queue 'hdg inc' counted x5"},   // no CW_FAST
        {Turn(kHdg, -1, 3), "queue 'hdg dec' counted x3"},  // below the fast speed
        {Turn(kHdg, 0, 9), "none",
         "HID event from B0 index=0 type=2 role=PFD configuredRole=MFD(ENCODER) "
         "controlId=21(HDG_KNOB) value=0 speed=9 mode=0"},
        {Turn(kMapLeft, 2), "queue 'map left cw' counted x2"},  // a map control's turn
        // Holds deduplicate; a release withdraws the waiting hold repeats.
        {Hold(kSoftkey, 3), "queue 'softkey hold' dedupe x1"},
        {Release(kSoftkey), "queue 'softkey up' plain x1 withdraw 'softkey hold'"},
        {Release(kSoftkey), "none", "", kNoMobiFlight},
        {Press(kSoftkey), "none", "", kNoMobiFlight},
        // Autopilot presses the button configuration does not know.
        {Press(kUnnamedAp), "event AP_HDG_HOLD",
         "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD configuredRole=MFD"
         "(BUTTON) controlId=7 value=1 speed=0 mode=0 simEvent=sent"},
        {Press(kFd), "event TOGGLE_FLIGHT_DIRECTOR"},  // named, not configured
        {Press(kUnnamedAp), "event AP_HDG_HOLD", "", kNoMobiFlight},
        {Release(kUnnamedAp), "none"},
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
         "HID event from B0 index=0 type=1 action=HOLD role=PFD(BUTTON) controlId=40(MAP_LEFT) "
         "value=2 speed=0 mode=0"},
        {Hold(kMapLeft, 2, 1), "map hold 'map left hold' key=B1|1|40|MFD", "", kUp, "B1", 1},
        {Hold(kMapLeft, 2, 2), "map hold 'map left hold' key=B1|1|40|copilot", "", kUp, "B1", 1},
        {Hold(kMapLeft), "map hold 'map left hold' key=|-1|40|PFD",
         "HID event from  index=-1 type=1 action=HOLD role=PFD(BUTTON) controlId=40(MAP_LEFT) "
         "value=2 speed=0 mode=0",
         kUp, "", -1},
        {Release(kMapLeft), "map release withdraw 'map left hold' key=B0|0|40|PFD"},
        {Hold(kMapRight), "map hold 'map right' key=B0|0|41|PFD"},
        {Release(kMapRight), "map release key=B0|0|41|PFD"},
        {Hold(kMapUp), "map hold key=B0|0|42|PFD"},  // no commands: no hold
        {Hold(kMapLeft), "none", "", kNoMobiFlight},
        // LED hold-offs: the boards' own LED show, and a long press of NAV_SWAP.
        {PanelEvent(4, 0, 0), "none hold-off"},
        {Hold(kNavSwap), "queue 'nav swap hold' dedupe x1 hold-off"},
        {Press(kNavSwap), "queue 'nav swap' plain x1"},
    });
    // Nothing sent: the line says so.
    EXPECT_EQ(Resolve(Press(kUnnamedAp)).DebugLine(false),
              "HID event from B0 index=0 type=1 action=BUTTON_PRESS role=PFD configuredRole=MFD"
              "(BUTTON) controlId=7 value=1 speed=0 mode=0");
    EXPECT_EQ(Resolve(Press(kSoftkey)).DebugLine(false).find("rpn="), std::string::npos);
}

// A command longer than the MobiFlight command block holds is refused, not cut.
TEST_F(EventResolutionTest, OverLongCommandsAreRefused) {
    const std::string fits(238, '1');
    const std::string tooLong(239, '2');
    std::string json = R"({"buttons": [
      {"name": "FD", "commands": {"PRESS": {"": "L"}}},
      {"name": "MAP_DOWN", "commands": {"PRESS": {"": "L"}, "HOLD": {"": "L"}}}],
      "knobs": [{"name": "HDG_KNOB", "commands": {"CW": {"": "F"}, "CCW_FAST": {"": "L"}}}]})";
    for (std::size_t at = 0; (at = json.find(R"("": ")", at)) != std::string::npos;) {
        at += 5;
        json.replace(at, 1, json[at] == 'L' ? tooLong : fits);
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
