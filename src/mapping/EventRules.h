// The fixed rules by which the mapping engine reads a panel event: its action key, the panel role,
// the encoder amount, the autopilot events for unconfigured buttons, the map controls that get
// press-and-hold handling, the keys of holds and LED hold-offs, and the event's DEBUG line. Pure
// functions without state or locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/BoardRole.h"
#include "hid/HidProtocol.h"
#include "mapping/PanelBoard.h"

namespace tarnwick {

struct AppConfig;
struct OutputDeviceConfig;

// "PRESS", "RELEASE", "HOLD", "CW", "CCW"; empty for None.
std::string_view ActionKey(HidProtocol::EventType action);

// Mode 0 is the PFD and mode 1 the MFD whatever the board is configured as; any other mode plays
// the board's configured role, or none when the board has no device entry. The reference lives as
// long as `entry` (or the program).
const BoardRole& EventRole(std::uint8_t mode, const OutputDeviceConfig* entry);

// Detents of an encoder event: |value|, at least 1, raised to the reported speed when that is
// larger.
std::uint32_t EncoderAmount(const HidProtocol::HidEvent& event);

// The SimConnect event an unconfigured autopilot button sends on a press, or nullptr.
const char* AutopilotEvent(std::uint16_t controlId);

// MAP_LEFT, MAP_RIGHT, MAP_UP, MAP_DOWN, compared with an already normalized name.
bool IsManagedMapControl(std::string_view normalizedControlName);

// name|index|controlId|role as written: the same control on two boards, or in two roles, holds
// apart.
std::string MakeHoldKey(const PanelBoard& board, std::uint16_t controlId, const BoardRole& role);

// The board's name, or "#" + index for a board without one.
std::string BoardKey(const PanelBoard& board);

// A queued event that a release of `release` makes stale: a hold report (value 2 to 4) of the same
// button on the same board.
bool IsHoldOfReleasedButton(const HidProtocol::HidEvent& queued, const PanelBoard& queuedBoard,
                            const HidProtocol::HidEvent& release, const PanelBoard& releaseBoard);

bool IsButtonRelease(const HidProtocol::HidEvent& event);

// mobiflight.mapHoldRepeatMs when it is 1 or more, else 10 ms (also without a configuration).
std::chrono::milliseconds HoldRepeatPeriod(const AppConfig* config);

// Everything the DEBUG line of one handled event shows.
struct EventLine {
    PanelBoard board;
    HidProtocol::HidEvent event;
    HidProtocol::EventType action = HidProtocol::EventType::None;
    BoardRole role;
    BoardRole configuredRole;  // the device entry's role; empty without an entry
    std::string typeName;
    std::string controlName;
    std::uint32_t mfAmount = 0;
    bool fast = false;
    bool simEventSent = false;
    bool rpnQueued = false;
};

// The line of a managed map press, hold or release.
std::string FormatMapEventLine(const EventLine& line);
// The line of every other event.
std::string FormatEventLine(const EventLine& line);

}  // namespace tarnwick
