#include "app/HidSettings.h"

namespace tarnwick {

HidManagerSettings HidSettingsFromConfig(const AppConfig& config) {
    HidManagerSettings settings;
    settings.vid = config.vid;
    settings.pid = config.pid;
    for (const HidDeviceConfig& device : config.devices) {
        settings.devices.push_back(HidDeviceTarget{device.vid, device.pid, device.role});
    }
    settings.readIntervalMs = config.readIntervalMs;
    settings.scanIntervalMs = config.scanIntervalMs;
    return settings;
}

}  // namespace tarnwick
