#include "config/ConfigValidation.h"

#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "config/AppConfig.h"
#include "config/OutputProfile.h"
#include "config/TextNormalize.h"

namespace tarnwick {

namespace {

bool Fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

bool ValidateDevices(const AppConfig& config, std::string& error) {
    const auto& devices = config.devices;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const HidDeviceConfig& device = devices[i];
        const std::string p = "hid.devices[" + std::to_string(i) + "]";
        if (device.vid.text.empty()) {
            return Fail(error, p + ".vid is required");
        }
        if (device.pid.text.empty()) {
            return Fail(error, p + ".pid is required");
        }
        if (device.role == PanelRole::Unknown) {
            return Fail(error, p + ".role is unknown: " + device.unknownRole);
        }
        // Compared as normalized text, so that "4d8" and "04D8" stay two entries as they always
        // were (the HID manager matches the first of them).
        const std::string vid = NormalizeHexId(device.vid.text);
        const std::string pid = NormalizeHexId(device.pid.text);
        for (std::size_t j = 0; j < i; ++j) {
            if (NormalizeHexId(devices[j].vid.text) == vid &&
                NormalizeHexId(devices[j].pid.text) == pid) {
                return Fail(
                    error, p + " duplicates the vid/pid of hid.devices[" + std::to_string(j) + "]");
            }
        }
    }
    return true;
}

bool ValidateMobiFlight(const MobiFlightSettings& mobiflight, std::string& error) {
    if (mobiflight.rpnRateLimitMs < 0) {
        return Fail(error, "mobiflight.rpnRateLimitMs must be >= 0");
    }
    if (mobiflight.mapHoldRepeatMs < 1) {
        return Fail(error, "mobiflight.mapHoldRepeatMs must be > 0");
    }
    if (mobiflight.enabled) {
        if (mobiflight.commandChannel.empty()) {
            return Fail(error, "mobiflight.commandChannel is required when enabled");
        }
        if (mobiflight.responseChannel.empty()) {
            return Fail(error, "mobiflight.responseChannel is required when enabled");
        }
        if (mobiflight.lvarsChannel.empty()) {
            return Fail(error, "mobiflight.lvarsChannel is required when enabled");
        }
    }
    return true;
}

bool InPercentRange(std::int32_t level) {
    return level >= 0 && level <= 100;
}

bool ValidateProfile(const std::string& name, const OutputProfile& profile, std::string& error) {
    const std::string r = "outputs.profiles[" + name;
    const BacklightSettings& backlight = profile.backlight;
    if (backlight.min < 0 || backlight.max > 100 || backlight.min > backlight.max) {
        return Fail(error, r + "].backlight min/max must be between 0-100");
    }
    if (!InPercentRange(backlight.defaultLevel)) {
        return Fail(error, r + "].backlight default must be between 0-100");
    }
    if (!InPercentRange(backlight.value)) {
        return Fail(error, r + "].backlight value must be between 0-100");
    }
    // A number too large for a double is read as infinity; multiplying a level of 0 by it gives
    // NaN, which has no integer brightness, so such a scale is refused like a non-positive one.
    if (!(backlight.scale > 0.0) || !std::isfinite(backlight.scale)) {
        return Fail(error, r + "].backlight scale must be > 0");
    }
    if (!profile.simDisconnected.effect.empty() &&
        !IsValidEffectName(profile.simDisconnected.effect)) {
        return Fail(error, r + "].simDisconnected.effect is invalid");
    }
    if (!profile.batteryOff.effect.empty() && !IsValidEffectName(profile.batteryOff.effect)) {
        return Fail(error, r + "].batteryOff.effect is invalid");
    }
    return true;
}

}  // namespace

bool ValidateAppConfig(const AppConfig& config, std::string& error) {
    if (config.vid.text.empty()) {
        return Fail(error, "hid.vid is required");
    }
    if (config.pid.text.empty()) {
        return Fail(error, "hid.pid is required");
    }
    if (config.devices.empty()) {
        return Fail(error, "hid.devices must not be empty");
    }
    if (!ValidateDevices(config, error)) {
        return false;
    }
    if (config.telemetryIntervalMs < 1) {
        return Fail(error, "hid.telemetryIntervalMs must be > 0");
    }
    if (config.buttonConfigPath.empty()) {
        return Fail(error, "mappings.buttonConfigPath is required");
    }
    if (!ValidateMobiFlight(config.mobiflight, error)) {
        return false;
    }
    if (config.cdcEnabled && config.cdcComPort.empty()) {
        return Fail(error, "cdc.comPort is required when cdc.enabled=1");
    }
    if (config.outputs.debounceMs < 0) {
        return Fail(error, "outputs.debounceMs must be >= 0");
    }
    for (const auto& [name, profile] : config.outputs.profiles) {
        if (!ValidateProfile(name, profile, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace tarnwick
