// What the HID manager takes from the loaded configuration.
#pragma once

#include "config/AppConfig.h"
#include "hid/HidManager.h"

namespace tarnwick {

// The fallback ids, every configured device (ids as read at load, role) and the scan interval.
HidManagerSettings HidSettingsFromConfig(const AppConfig& config);

}  // namespace tarnwick
