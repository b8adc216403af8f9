#include "config/ConfigValidation.h"

#include <cmath>
#include <cstddef>
#include <string>

#include "config/AppConfig.h"
#include "config/OutputProfile.h"
#include "config/TextNormalize.h"

namespace tarnwick {

namespace {

Result ValidateDevices(const AppConfig& config) {
    const auto& devices = config.devices;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const HidDeviceConfig& device = devices[i];
        const std::string p = "hid.devices[" + std::to_string(i) + "]";
        if (device.vid.text.empty()) {
            return Result::Failure(p + ".vid is required");
        }
        if (device.pid.text.empty()) {
            return Result::Failure(p + ".pid is required");
        }
        if (device.role == PanelRole::Unknown) {
            return Result::Failure(p + ".role is unknown: " + device.unknownRole);
        }
        // Compared as normalized text, so that "4d8" and "04D8" stay two entries as they always
        // were (the HID manager matches the first of them).
        const std::string vid = NormalizeHexId(device.vid.text);
        const std::string pid = NormalizeHexId(device.pid.text);
        for (std::size_t j = 0; j < i; ++j) {
            if (NormalizeHexId(devices[j].vid.text) == vid &&
                NormalizeHexId(devices[j].pid.text) == pid) {
                return Result::Failure(p + " duplicates the vid/pid of hid.devices[" +
                                       std::to_string(j) + "]");
            }
        }
    }
    return Result::Success();
}

Result ValidateMobiFlight(const MobiFlightSettings& mobiflight) {
    if (mobiflight.rpnRateLimitMs < 0) {
        return Result::Failure("mobiflight.rpnRateLimitMs must be >= 0");
    }
    if (mobiflight.mapHoldRepeatMs < 1) {
        return Result::Failure("mobiflight.mapHoldRepeatMs must be > 0");
    }
    if (mobiflight.enabled) {
        if (mobiflight.commandChannel.empty()) {
            return Result::Failure("mobiflight.commandChannel is required when enabled");
        }
        if (mobiflight.responseChannel.empty()) {
            return Result::Failure("mobiflight.responseChannel is required when enabled");
        }
        if (mobiflight.lvarsChannel.empty()) {
            return Result::Failure("mobiflight.lvarsChannel is required when enabled");
        }
    }
    return Result::Success();
}

bool InPercentRange(std::int32_t level) {
    return level >= 0 && level <= 100;
}

Result ValidateProfile(const std::string& name, const OutputProfile& profile) {
    const std::string r = "outputs.profiles[" + name;
    const BacklightSettings& backlight = profile.backlight;
    if (backlight.min < 0 || backlight.max > 100 || backlight.min > backlight.max) {
        return Result::Failure(r + "].backlight min/max must be between 0-100");
    }
    if (!InPercentRange(backlight.defaultLevel)) {
        return Result::Failure(r + "].backlight default must be between 0-100");
    }
    if (!InPercentRange(backlight.value)) {
        return Result::Failure(r + "].backlight value must be between 0-100");
    }
    // A number too large for a double is read as infinity; multiplying a level of 0 by it gives
    // NaN, which has no integer brightness, so such a scale is refused like a non-positive one.
    if (!(backlight.scale > 0.0) || !std::isfinite(backlight.scale)) {
        return Result::Failure(r + "].backlight scale must be > 0");
    }
    if (!profile.simDisconnected.effect.empty() &&
        !IsValidEffectName(profile.simDisconnected.effect)) {
        return Result::Failure(r + "].simDisconnected.effect is invalid");
    }
    if (!profile.batteryOff.effect.empty() && !IsValidEffectName(profile.batteryOff.effect)) {
        return Result::Failure(r + "].batteryOff.effect is invalid");
    }
    return Result::Success();
}

}  // namespace

Result ValidateAppConfig(const AppConfig& config) {
    if (config.vid.text.empty()) {
        return Result::Failure("hid.vid is required");
    }
    if (config.pid.text.empty()) {
        return Result::Failure("hid.pid is required");
    }
    if (config.devices.empty()) {
        return Result::Failure("hid.devices must not be empty");
    }
    if (Result devices = ValidateDevices(config); !devices) {
        return devices;
    }
    if (config.telemetryIntervalMs < 1) {
        return Result::Failure("hid.telemetryIntervalMs must be > 0");
    }
    if (config.buttonConfigPath.empty()) {
        return Result::Failure("mappings.buttonConfigPath is required");
    }
    if (Result mobiflight = ValidateMobiFlight(config.mobiflight); !mobiflight) {
        return mobiflight;
    }
    if (config.cdcEnabled && config.cdcComPort.empty()) {
        return Result::Failure("cdc.comPort is required when cdc.enabled=1");
    }
    if (config.outputs.debounceMs < 0) {
        return Result::Failure("outputs.debounceMs must be >= 0");
    }
    for (const auto& [name, profile] : config.outputs.profiles) {
        if (Result valid = ValidateProfile(name, profile); !valid) {
            return valid;
        }
    }
    return Result::Success();
}

}  // namespace tarnwick
