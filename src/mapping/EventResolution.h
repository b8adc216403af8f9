// What one panel event means, worked out apart from doing it: from the report, the board, the
// configuration, the button configuration and the event map to one decision (a command to queue,
// a managed map press, hold or release, an autopilot event, or nothing), the texts of the lines it
// writes and the board's LED hold-off. A pure function without state or locks; the mapping
// engine's event worker acts on the decision.
#pragma once

#include <cstdint>
#include <string>

#include "hid/HidProtocol.h"
#include "mapping/EventRules.h"
#include "sim/MobiFlightClient.h"

namespace tarnwick {

struct AppConfig;
class ButtonConfig;
class HidEventMap;

enum class EventOutcome {
    None,           // nothing to send
    QueueCommand,   // `command` through the MobiFlight queue, with `mode` and `count`
    MapPress,       // end the hold of `holdKey`, then send `command` at once unless it is empty
    MapHold,        // start (or keep) the hold of `holdKey` repeating `command`, unless empty
    MapRelease,     // end the hold of `holdKey`; `withdrawRepeats` is set as for any release
    AutopilotEvent  // transmit `simEvent` through SimConnect
};

struct EventDecision {
    EventOutcome outcome = EventOutcome::None;
    std::string command;
    SendMode mode = SendMode::Plain;
    std::int32_t count = 1;
    std::string simEvent;
    std::string holdKey;
    std::string controlName;  // for the warning when the command or event cannot be sent
    // A release: the control's HOLD command, whose waiting repeats are withdrawn first; empty
    // for none.
    std::string withdrawRepeats;
    // The board's LEDs pause (a firmware LED show, or a long press of NAV_SWAP that starts one).
    bool holdOffOutputs = false;
    // The DEBUG line for a configured command that waits for MobiFlight; empty for none.
    std::string notReadyLine;
    // The ERROR line for a command too long for the MobiFlight command block: it is not sent
    // rather than cut, and the decision carries no command. Empty for none.
    std::string refusalLine;
    EventLine line;
    bool mapLine = false;  // the short line of a managed map event

    // The event's DEBUG line; `sent` says whether the queued command or the autopilot event
    // went out.
    std::string DebugLine(bool sent) const;
};

// `mobiFlightRegistered` and `simConnected` are the clients' states when the event is handled.
EventDecision ResolveEvent(const HidProtocol::HidEvent& event, const PanelBoard& board,
                           const AppConfig& config, const ButtonConfig& buttons,
                           const HidEventMap& eventMap, bool mobiFlightRegistered,
                           bool simConnected);

}  // namespace tarnwick
