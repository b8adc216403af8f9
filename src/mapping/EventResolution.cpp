#include "mapping/EventResolution.h"

#include <string_view>
#include <utility>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "config/TextNormalize.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

using HidProtocol::EventType;

// An event type the boards send when they start an LED show of their own.
constexpr std::uint8_t kLedShowEventType = 4;
constexpr std::uint8_t kFastSpeed = 4;

// Empty when the command fits the MobiFlight command block, else the ERROR line naming the
// control and the action (+ suffix).
std::string RefusalOf(std::string_view controlName, std::string_view action,
                      const std::string& command, std::string_view actionSuffix = {}) {
    if (command.size() <= MobiFlightProtocol::kMaxRpnText) {
        return {};
    }
    std::string message = "Command for ";
    message.append(controlName).append(" ").append(action).append(actionSuffix);
    message.append(" is too long (");
    message.append(std::to_string(command.size())).append(" bytes, at most ");
    message.append(std::to_string(MobiFlightProtocol::kMaxRpnText)).append("); not sent");
    return message;
}

// The command of a managed map press or hold, or the refusal of an over-long one.
void SetMapCommand(EventDecision& decision, std::string_view actionKey, std::string command) {
    decision.refusalLine = RefusalOf(decision.controlName, actionKey, command);
    if (decision.refusalLine.empty()) {
        decision.command = std::move(command);
    }
}

void ResolveMapEvent(EventDecision& decision, const ButtonConfig& buttons,
                     const HidProtocol::HidEvent& event) {
    const std::string& control = decision.controlName;
    const std::string& role = decision.line.role.text;
    decision.mapLine = true;
    decision.holdKey = MakeHoldKey(decision.line.board, event.controlId, decision.line.role);
    switch (decision.line.action) {
        case EventType::ButtonPress:
            // The engine ends a hold whose release was lost before it sends the press.
            decision.outcome = EventOutcome::MapPress;
            SetMapCommand(decision, "PRESS", buttons.Lookup(control, "PRESS", role));
            break;
        case EventType::Hold: {
            decision.outcome = EventOutcome::MapHold;
            std::string hold = buttons.Lookup(control, "HOLD", role);
            SetMapCommand(decision, "HOLD",
                          hold.empty() ? buttons.Lookup(control, "PRESS", role) : std::move(hold));
            break;
        }
        default:
            decision.outcome = EventOutcome::MapRelease;
            decision.withdrawRepeats = buttons.Lookup(control, "HOLD", role);
            break;
    }
}

}  // namespace

std::string EventDecision::DebugLine(bool sent) const {
    if (mapLine) {
        return FormatMapEventLine(line);
    }
    EventLine shown = line;
    shown.rpnQueued = sent && outcome == EventOutcome::QueueCommand;
    shown.simEventSent = sent && outcome == EventOutcome::AutopilotEvent;
    return FormatEventLine(shown);
}

EventDecision ResolveEvent(const HidProtocol::HidEvent& event, const PanelBoard& board,
                           const AppConfig& config, const ButtonConfig& buttons,
                           const HidEventMap& eventMap, bool mobiFlightRegistered,
                           bool simConnected) {
    EventDecision decision;
    EventLine& line = decision.line;
    line.board = board;
    line.event = event;
    const OutputDeviceConfig* entry = FindOutputDevice(config, board.name, board.index);
    if (entry != nullptr) {
        line.configuredRole = entry->role;
    }
    line.role = EventRole(event.mode, entry);
    line.typeName = eventMap.FindEventType(event.type);
    line.controlName = eventMap.FindControl(event.controlId);
    decision.controlName = line.controlName;
    const std::string& controlName = line.controlName;
    // The button configuration is looked up by the text as written: it normalizes it itself.
    const std::string& role = line.role.text;

    const bool inButtonConfig = !controlName.empty() && buttons.HasControl(controlName);
    const EventType action = HidProtocol::ClassifyEvent(event);
    line.action = action;
    const std::string_view actionKey = ActionKey(action);
    const bool hasAction = action != EventType::None;
    const bool buttonAction = action == EventType::ButtonPress ||
                              action == EventType::ButtonRelease || action == EventType::Hold;
    const std::string normalizedControl = NormalizeKey(controlName);
    const bool mobiFlightEnabled = config.mobiflight.enabled;

    decision.holdOffOutputs =
        event.type == kLedShowEventType ||
        (inButtonConfig && action == EventType::Hold && normalizedControl == "NAV_SWAP");

    if (inButtonConfig && buttonAction && IsManagedMapControl(normalizedControl) &&
        mobiFlightEnabled) {
        ResolveMapEvent(decision, buttons, event);
        return decision;
    }

    if (inButtonConfig && action == EventType::ButtonRelease && mobiFlightEnabled) {
        // Hold repeats still waiting are stale once the button is up, whatever their text. Only
        // the repeats go: a press still waiting (behind a rate limit or a burst of encoder
        // clicks) is a real tap, even when its text is the same as the hold's.
        decision.withdrawRepeats = buttons.Lookup(controlName, "HOLD", role);
    }

    if (mobiFlightEnabled && hasAction && !controlName.empty()) {
        const bool encoder = action == EventType::EncoderCw || action == EventType::EncoderCcw;
        std::string rpn;
        if (encoder && event.speed >= kFastSpeed) {
            std::string fastKey(actionKey);
            fastKey.append("_FAST");
            rpn = buttons.Lookup(controlName, fastKey, role);
            line.fast = !rpn.empty();
        }
        if (rpn.empty()) {
            rpn = buttons.Lookup(controlName, actionKey, role);
        }
        if (!rpn.empty() && !mobiFlightRegistered) {
            decision.notReadyLine = "MobiFlight not ready; using SimConnect fallback for ";
            decision.notReadyLine.append(controlName);
        } else if (!rpn.empty()) {
            decision.refusalLine = RefusalOf(controlName, actionKey, rpn, line.fast ? "_FAST" : "");
            if (decision.refusalLine.empty()) {
                decision.outcome = EventOutcome::QueueCommand;
                decision.command = std::move(rpn);
                if (action == EventType::Hold) {
                    decision.mode = SendMode::Dedupe;
                } else if (encoder) {
                    decision.mode = SendMode::Counted;
                    line.mfAmount = line.fast ? 1 : EncoderAmount(event);
                    decision.count = static_cast<std::int32_t>(line.mfAmount);
                }
            }
        }
    }

    // A command found means the control is configured, and a configured button never falls
    // back to the table.
    if (decision.outcome == EventOutcome::None && action == EventType::ButtonPress &&
        !inButtonConfig && simConnected) {
        if (const char* apEvent = AutopilotEvent(event.controlId)) {
            decision.outcome = EventOutcome::AutopilotEvent;
            decision.simEvent = apEvent;
        }
    }
    return decision;
}

}  // namespace tarnwick
