// What a panel board's backlight and LEDs show for a given simulator state, and the reading of the
// panel-lighting level out of the texts the MobiFlight module sends. Pure functions: the output
// worker calls them, and they are tested without boards or a simulator.
#pragma once

#include <string_view>

#include "config/OutputProfile.h"
#include "hid/HidProtocol.h"
#include "mapping/SimStatus.h"

namespace tarnwick {

// The simulator variable whose value dims the panels.
inline constexpr std::string_view kLightingVariable = "LIGHTING_POTENTIOMETER_5";

// The backlight while connected with the battery on or never reported; otherwise the profile's
// simDisconnected effect (no connection) or batteryOff effect (connected, battery off).
// The lighting level, or the profile's default while none is known: a level of 1.0 or less is a
// fraction and is taken as a percentage of 100. The scaled level is held to the profile's range
// before it becomes an integer, so no level can overflow; a result that is not a number gives the
// profile's minimum.
HidProtocol::LedState ComputeLedState(const OutputProfile& profile, bool simConnected,
                                      const SimStatus::Battery& battery,
                                      const SimStatus::Lighting& lighting);

// STEADY, BREATHE and FLASH (any case, white space ignored) with their fields held to the report's
// ranges; any other name switches the LEDs off.
HidProtocol::LedState ComputeEffectState(const LedEffect& effect);

// Accepts a bare number ("0.5") or an assignment somewhere in the text
// ("x;l:lighting_potentiometer_5= 42 ;y"). Only finite numbers are levels: "nan" or "inf" would
// otherwise reach the brightness arithmetic. `level` is written only on success.
bool ParseLightingLevel(std::string_view text, double& level);

}  // namespace tarnwick
