#include "app/HidSettings.h"

namespace tarnwick {

HidManagerSettings HidSettingsFromConfig(const AppConfig& config) {
    HidManagerSettings settings;
    settings.vendorId = config.vid.value;
    settings.productId = config.pid.value;
    for (const HidDeviceConfig& device : config.devices) {
        settings.devices.push_back(
            HidDeviceTarget{device.vid.value, device.pid.value, device.role});
    }
    settings.scanIntervalMs = config.scanIntervalMs;
    return settings;
}

}  // namespace tarnwick
