#include "mapping/EventRules.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

#include "config/AppConfig.h"

namespace tarnwick {
namespace {

using HidProtocol::EventType;

constexpr std::array<std::pair<std::uint16_t, const char*>, 9> kAutopilotEvents = {{
    {5, "AP_MASTER"},
    {6, "TOGGLE_FLIGHT_DIRECTOR"},
    {7, "AP_HDG_HOLD"},
    {8, "AP_ALT_HOLD"},
    {9, "AP_NAV1_HOLD"},
    {11, "AP_BC_HOLD"},
    {12, "AP_APR_HOLD"},
    {13, "AP_VS_HOLD"},
    {16, "AP_FLC"},
}};

constexpr std::int32_t kDefaultHoldRepeatMs = 10;

const BoardRole kPfd("PFD");
const BoardRole kMfd("MFD");
const BoardRole kNoRole;

// The head every line shares: board, index and type number.
void AppendHead(std::string& out, const EventLine& line) {
    out.append("HID event from ").append(line.board.name);
    out.append(" index=").append(std::to_string(line.board.index));
    out.append(" type=").append(std::to_string(line.event.type));
}

void AppendControlAndValues(std::string& out, const EventLine& line) {
    out.append(" controlId=").append(std::to_string(line.event.controlId));
    if (!line.controlName.empty()) {
        out.append("(").append(line.controlName).append(")");
    }
    out.append(" value=").append(std::to_string(line.event.value));
    out.append(" speed=").append(std::to_string(line.event.speed));
    out.append(" mode=").append(std::to_string(line.event.mode));
}

}  // namespace

std::string_view ActionKey(EventType action) {
    switch (action) {
        case EventType::ButtonPress:
            return "PRESS";
        case EventType::ButtonRelease:
            return "RELEASE";
        case EventType::Hold:
            return "HOLD";
        case EventType::EncoderCw:
            return "CW";
        case EventType::EncoderCcw:
            return "CCW";
        case EventType::None:
        default:
            return {};
    }
}

const BoardRole& EventRole(std::uint8_t mode, const OutputDeviceConfig* entry) {
    if (mode == 0) {
        return kPfd;
    }
    if (mode == 1) {
        return kMfd;
    }
    return entry != nullptr ? entry->role : kNoRole;
}

std::uint32_t EncoderAmount(const HidProtocol::HidEvent& event) {
    const std::uint32_t detents =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::abs(int{event.value})));
    return event.speed > 0 ? std::max<std::uint32_t>(detents, event.speed) : detents;
}

const char* AutopilotEvent(std::uint16_t controlId) {
    for (const auto& [id, name] : kAutopilotEvents) {
        if (id == controlId) {
            return name;
        }
    }
    return nullptr;
}

bool IsManagedMapControl(std::string_view normalizedControlName) {
    return normalizedControlName == "MAP_LEFT" || normalizedControlName == "MAP_RIGHT" ||
           normalizedControlName == "MAP_UP" || normalizedControlName == "MAP_DOWN";
}

std::string MakeHoldKey(const PanelBoard& board, std::uint16_t controlId, const BoardRole& role) {
    std::string key = board.name;
    key.append("|").append(std::to_string(board.index));
    key.append("|").append(std::to_string(controlId));
    key.append("|").append(role.text);
    return key;
}

std::string BoardKey(const PanelBoard& board) {
    if (!board.name.empty()) {
        return board.name;
    }
    std::string key = "#";
    key.append(std::to_string(board.index));
    return key;
}

bool IsButtonRelease(const HidProtocol::HidEvent& event) {
    return event.type == HidProtocol::kControlTypeButton && event.value == 0;
}

bool IsHoldOfReleasedButton(const HidProtocol::HidEvent& queued, const PanelBoard& queuedBoard,
                            const HidProtocol::HidEvent& release, const PanelBoard& releaseBoard) {
    return queued.controlId == release.controlId &&
           queued.type == HidProtocol::kControlTypeButton && queued.value >= 2 &&
           queued.value <= 4 && queuedBoard == releaseBoard;
}

std::chrono::milliseconds HoldRepeatPeriod(const AppConfig* config) {
    if (config != nullptr && config->mobiflight.mapHoldRepeatMs >= 1) {
        return std::chrono::milliseconds(config->mobiflight.mapHoldRepeatMs);
    }
    return std::chrono::milliseconds(kDefaultHoldRepeatMs);
}

std::string FormatMapEventLine(const EventLine& line) {
    std::string out;
    out.reserve(160);
    AppendHead(out, line);
    out.append(" action=").append(HidProtocol::EventTypeName(line.action));
    if (!line.role.Empty()) {
        out.append(" role=").append(line.role.text);
    }
    if (!line.typeName.empty()) {
        out.append("(").append(line.typeName).append(")");
    }
    AppendControlAndValues(out, line);
    return out;
}

std::string FormatEventLine(const EventLine& line) {
    std::string out;
    out.reserve(200);
    AppendHead(out, line);
    if (line.action != EventType::None) {
        out.append(" action=").append(HidProtocol::EventTypeName(line.action));
    }
    if (!line.role.Empty()) {
        out.append(" role=").append(line.role.text);
    }
    // Compared as written: a board entered as "pfd" says so beside the mode switch's PFD.
    if (!line.configuredRole.Empty() && line.configuredRole.text != line.role.text) {
        out.append(" configuredRole=").append(line.configuredRole.text);
    }
    if (!line.typeName.empty()) {
        out.append("(").append(line.typeName).append(")");
    }
    AppendControlAndValues(out, line);
    if (line.mfAmount != 0) {
        out.append(" mfAmount=").append(std::to_string(line.mfAmount));
    }
    if (line.fast) {
        out.append(" fast=1");
    }
    if (line.simEventSent) {
        out.append(" simEvent=sent");
    }
    if (line.rpnQueued) {
        out.append(" rpn=queued");
    }
    return out;
}

}  // namespace tarnwick
