// Output profiles: how a board's backlight follows the simulator and which LED effect it shows
// while the simulator is disconnected or the battery is off, and the look-ups that take a
// connected board to its device entry and profile.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

struct JsonValue;
struct AppConfig;
struct OutputDeviceConfig;

struct BacklightSettings {
    std::string mode;       // compared after NormalizeKey: FIXED, OFF, anything else follows the sim
    std::int32_t min = 0;
    std::int32_t max = 0;
    std::int32_t defaultLevel = 0;  // "default" in the file; a keyword in C++
    std::int32_t value = 0;
    double scale = 0.0;
};

struct LedEffect {
    std::string effect;  // OFF, STEADY, FLASH or BREATHE, compared after NormalizeKey
    std::int32_t brightness = 0;
    std::int32_t param0 = 0;  // "count" in the file
    std::int32_t param1 = 0;  // "periodMs" in the file
    std::int32_t param2 = 0;  // "level" in the file
};

struct OutputProfile {
    BacklightSettings backlight;
    LedEffect simDisconnected;
    LedEffect batteryOff;
};

// The starting point of every profile read from the file, and the profile inserted under the
// default profile's name when the file does not define it.
const OutputProfile& BuiltInDefaultProfile();

// Reads one outputs.profiles member object over BuiltInDefaultProfile().
OutputProfile ReadOutputProfile(const JsonValue& object);
BacklightSettings ReadBacklightSettings(const JsonValue& object, const BacklightSettings& defaults);
LedEffect ReadLedEffect(const JsonValue& object, const LedEffect& defaults);
bool IsValidEffectName(const std::string& name);

// Both look-ups read the loaded configuration only and may be called from any thread.
// Returned pointers point into `config` (nullptr for none).
const OutputDeviceConfig* FindOutputDevice(const AppConfig& config, const std::string& boardId,
                                           std::int32_t index);
const OutputProfile* ResolveOutputProfile(const AppConfig& config, const OutputDeviceConfig* device);

}  // namespace tarnwick
