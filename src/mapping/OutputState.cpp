#include "mapping/OutputState.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/TextNormalize.h"

namespace tarnwick {
namespace {

template <typename T>
T Hold(std::int32_t value, std::int32_t low, std::int32_t high) {
    if (value < low) {
        return static_cast<T>(low);
    }
    if (value > high) {
        return static_cast<T>(high);
    }
    return static_cast<T>(value);
}

// Scaled brightness: rounded half away from zero, then held to [min, max] and to a byte. All of
// it in double, because a level as large as the text allows would overflow any integer.
std::uint8_t ScaledBrightness(const BacklightSettings& backlight, double level) {
    if (level <= 1.0) {
        level *= 100.0;
    }
    double scaled = std::round(level * backlight.scale);
    if (std::isnan(scaled)) {
        scaled = backlight.min;
    }
    if (scaled > backlight.max) {
        scaled = backlight.max;
    } else if (scaled < backlight.min) {
        scaled = backlight.min;
    }
    if (scaled < 0.0) {
        return 0;
    }
    if (scaled > 255.0) {
        return 255;
    }
    return static_cast<std::uint8_t>(scaled);
}

// strtod over the whole of `text`; `end` receives how many bytes the number took (0: none).
bool ConvertNumber(const std::string& text, double& value, std::size_t& used) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double number = std::strtod(begin, &end);
    used = static_cast<std::size_t>(end - begin);
    if (used == 0 || errno == ERANGE || !std::isfinite(number)) {
        return false;
    }
    value = number;
    return true;
}

}  // namespace

HidProtocol::LedState ComputeLedState(const OutputProfile& profile, bool simConnected,
                                      const SimStatus::Battery& battery,
                                      const SimStatus::Lighting& lighting) {
    if (simConnected && (!battery.known || battery.on)) {
        HidProtocol::LedState state;
        state.effect = 1;
        const std::string mode = NormalizeKey(profile.backlight.mode);
        if (mode == "FIXED") {
            state.brightness = Hold<std::uint8_t>(profile.backlight.value, 0, 255);
        } else if (mode == "OFF") {
            state.brightness = 0;
        } else {
            const double level = lighting.known ? lighting.level : profile.backlight.defaultLevel;
            state.brightness = ScaledBrightness(profile.backlight, level);
        }
        return state;
    }
    return ComputeEffectState(simConnected ? profile.batteryOff : profile.simDisconnected);
}

HidProtocol::LedState ComputeEffectState(const LedEffect& effect) {
    HidProtocol::LedState state;
    const std::string name = NormalizeKey(effect.effect);
    if (name == "STEADY") {
        state.effect = 1;
        state.brightness = Hold<std::uint8_t>(effect.brightness, 0, 255);
    } else if (name == "BREATHE" || name == "FLASH") {
        state.effect = name == "BREATHE" ? 2 : 3;
        state.param0 = Hold<std::uint8_t>(effect.param0, 0, 255);
        state.param1 = Hold<std::uint16_t>(effect.param1, 0, 65535);
        state.param2 = Hold<std::uint8_t>(effect.param2, 0, 255);
    }
    return state;
}

bool ParseLightingLevel(std::string_view text, double& level) {
    if (text.empty()) {
        return false;
    }
    std::size_t used = 0;
    double number = 0.0;
    const std::string whole(text);
    if (ConvertNumber(whole, number, used) && used == whole.size()) {
        level = number;
        return true;
    }

    const std::string upper = AsciiUpper(text);
    std::size_t found = upper.find("L:LIGHTING_POTENTIOMETER_5");
    if (found == std::string::npos && upper.size() >= kLightingVariable.size()) {
        found = upper.find(kLightingVariable);
    }
    if (found == std::string::npos) {
        return false;
    }
    const std::size_t equals = upper.find('=', found);
    if (equals == std::string::npos || equals + 1 >= text.size()) {
        return false;
    }
    const std::size_t start = equals + 1;
    std::size_t stop = text.find_first_of(";\r\n", start);
    if (stop == std::string_view::npos) {
        stop = text.size();
    }
    if (!ConvertNumber(std::string(text.substr(start, stop - start)), number, used)) {
        return false;
    }
    level = number;
    return true;
}

}  // namespace tarnwick
