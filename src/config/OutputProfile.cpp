#include "config/OutputProfile.h"

#include <array>
#include <string_view>

#include "config/AppConfig.h"
#include "config/Json.h"
#include "config/TextNormalize.h"

namespace tarnwick {

namespace {

OutputProfile MakeBuiltInDefaultProfile() {
    OutputProfile profile;
    profile.backlight.mode = "lvar";
    profile.backlight.min = 0;
    profile.backlight.max = 100;
    profile.backlight.defaultLevel = 80;
    profile.backlight.value = 80;
    profile.backlight.scale = 1.0;

    profile.simDisconnected.effect = "flash";
    profile.simDisconnected.brightness = 0;
    profile.simDisconnected.param0 = 4;
    profile.simDisconnected.param1 = 150;
    profile.simDisconnected.param2 = 100;

    profile.batteryOff.effect = "breathe";
    profile.batteryOff.brightness = 0;
    profile.batteryOff.param0 = 5;
    profile.batteryOff.param1 = 1000;
    profile.batteryOff.param2 = 50;
    return profile;
}

}  // namespace

const OutputProfile& BuiltInDefaultProfile() {
    static const OutputProfile profile = MakeBuiltInDefaultProfile();
    return profile;
}

OutputProfile ReadOutputProfile(const JsonValue& object) {
    OutputProfile profile = BuiltInDefaultProfile();
    const JsonValue* member = nullptr;
    if (GetObjectMember(object, "backlight", member)) {
        profile.backlight = ReadBacklightSettings(*member, profile.backlight);
    }
    if (GetObjectMember(object, "simDisconnected", member)) {
        profile.simDisconnected = ReadLedEffect(*member, profile.simDisconnected);
    }
    if (GetObjectMember(object, "batteryOff", member)) {
        profile.batteryOff = ReadLedEffect(*member, profile.batteryOff);
    }
    return profile;
}

BacklightSettings ReadBacklightSettings(const JsonValue& object,
                                        const BacklightSettings& defaults) {
    BacklightSettings settings = defaults;
    std::string mode;
    if (GetStringMember(object, "mode", mode)) {
        settings.mode = NormalizeKey(mode);
    }
    GetIntMember(object, "min", settings.min);
    GetIntMember(object, "max", settings.max);
    GetIntMember(object, "default", settings.defaultLevel);
    GetIntMember(object, "value", settings.value);
    // The scale is a factor such as 1.5, so it keeps its fraction.
    if (object.IsObject()) {
        const auto it = object.objectValue.find("scale");
        if (it != object.objectValue.end() && it->second.IsNumber()) {
            settings.scale = it->second.numberValue;
        }
    }
    return settings;
}

LedEffect ReadLedEffect(const JsonValue& object, const LedEffect& defaults) {
    LedEffect effect = defaults;
    std::string name;
    if (GetStringMember(object, "effect", name)) {
        effect.effect = NormalizeKey(name);
    }
    GetIntMember(object, "brightness", effect.brightness);
    GetIntMember(object, "param0", effect.param0);
    GetIntMember(object, "param1", effect.param1);
    GetIntMember(object, "param2", effect.param2);
    // The descriptive names are read last so that they win over the numbered ones.
    GetIntMember(object, "count", effect.param0);
    GetIntMember(object, "periodMs", effect.param1);
    GetIntMember(object, "level", effect.param2);
    return effect;
}

bool IsValidEffectName(const std::string& name) {
    static constexpr std::array<std::string_view, 4> kNames = {"OFF", "STEADY", "FLASH", "BREATHE"};
    const std::string normalized = NormalizeKey(name);
    for (const std::string_view known : kNames) {
        if (normalized == known) {
            return true;
        }
    }
    return false;
}

const OutputDeviceConfig* FindOutputDevice(const AppConfig& config, const std::string& boardId,
                                           std::int32_t index) {
    if (!boardId.empty()) {
        const std::string wanted = NormalizeHexId(boardId);
        for (const OutputDeviceConfig& device : config.outputDevices) {
            if (!device.boardId.empty() && device.boardId == wanted) {
                return &device;
            }
        }
    }
    // A board whose id matches no entry is still found by its index.
    if (index < 0) {
        return nullptr;
    }
    for (const OutputDeviceConfig& device : config.outputDevices) {
        if (device.index == index) {
            return &device;
        }
    }
    return nullptr;
}

const OutputProfile* ResolveOutputProfile(const AppConfig& config,
                                          const OutputDeviceConfig* device) {
    const OutputsConfig& outputs = config.outputs;
    std::string name;
    if (device != nullptr && !device->ledProfile.empty()) {
        name = NormalizeKey(device->ledProfile);
    }
    if (name.empty() && device != nullptr && !device->role.Empty()) {
        const auto it = outputs.roleProfiles.find(device->role.key);
        if (it != outputs.roleProfiles.end()) {
            name = NormalizeKey(it->second);
        }
    }
    if (name.empty()) {
        name = NormalizeKey(outputs.defaultProfile);
    }

    const auto found = outputs.profiles.find(name);
    if (found != outputs.profiles.end()) {
        return &found->second;
    }
    // An unknown name still gets a profile rather than none: the smallest name.
    if (!outputs.profiles.empty()) {
        return &outputs.profiles.begin()->second;
    }
    return nullptr;
}

}  // namespace tarnwick
