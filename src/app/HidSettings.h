// What the HID manager takes from the loaded configuration.
#pragma once

#include "config/AppConfig.h"
#include "hid/HidManager.h"

namespace tarnwick {

// The fallback ids, every configured device (ids and role as written in the file) and the
// intervals, unchanged; the manager interprets them.
HidManagerSettings HidSettingsFromConfig(const AppConfig& config);

}  // namespace tarnwick
