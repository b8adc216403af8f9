// What a board shows for a simulator state, and the lighting level read from the module's texts:
// pure functions, one row per rule.
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/OutputProfile.h"
#include "mapping/OutputState.h"

namespace tarnwick {
namespace {

using HidProtocol::LedState;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

OutputProfile Backlight(const char* mode, double scale, std::int32_t min, std::int32_t max,
                        std::int32_t value = 80) {
    OutputProfile profile = BuiltInDefaultProfile();
    profile.backlight = BacklightSettings{mode, min, max, 80, value, scale};
    return profile;
}
LedState Steady(std::uint8_t brightness) {
    return LedState{1, brightness, 0, 0, 0};
}

TEST(OutputStateTest, LedStateOfTheSimulatorState) {
    const OutputProfile standard = BuiltInDefaultProfile();  // lvar 0-100 x1, default 80
    const SimStatus::Battery unknown{false, false}, on{true, true}, off{true, false};
    struct Case {
        OutputProfile profile;
        bool connected;
        SimStatus::Battery battery;
        SimStatus::Lighting lighting;
        LedState expected;
    };
    const std::vector<Case> cases = {
        // A battery never reported counts as on, an unknown level is the profile's default; a
        // battery off breathes, a lost simulator flashes whatever the battery.
        {standard, true, unknown, {false, 0.0}, Steady(80)},
        {standard, true, off, {true, 0.5}, LedState{2, 0, 5, 1000, 50}},
        {standard, false, off, {true, 0.5}, LedState{3, 0, 4, 150, 100}},
        // Up to 1.0 a level is a fraction; scaled, rounded half away from zero, held to the
        // profile's range and then to a byte.
        {standard, true, on, {true, 1.0}, Steady(100)},
        {standard, true, on, {true, 1.5}, Steady(2)},
        {Backlight("LVAR", 3.0, 0, 255), true, on, {true, 0.5}, Steady(150)},
        {Backlight("LVAR", 3.0, 0, 100), true, on, {true, 0.5}, Steady(100)},
        {Backlight("LVAR", 1.0, 20, 100), true, on, {true, 0.1}, Steady(20)},
        {Backlight("LVAR", 0.5, 0, 100), true, on, {true, 5.0}, Steady(3)},
        {Backlight("LVAR", 10.0, 0, 1000), true, on, {true, 90.0}, Steady(255)},
        {Backlight("LVAR", 1.0, -50, 100), true, on, {true, -30.0}, Steady(0)},
        // Levels beyond any integer, and results that are not numbers.
        {Backlight("LVAR", 1.0, 10, 90), true, on, {true, 1e300}, Steady(90)},
        {Backlight("LVAR", 1.0, 10, 90), true, on, {true, -1e300}, Steady(10)},
        {Backlight("LVAR", 1.0, 10, 90), true, on, {true, kInf}, Steady(90)},
        {Backlight("LVAR", 1.0, 10, 90), true, on, {true, kNaN}, Steady(10)},
        {Backlight("LVAR", kNaN, 0, 100), true, on, {true, 50.0}, Steady(0)},
        // FIXED and OFF ignore the level; FIXED is held to a byte.
        {Backlight(" fixed ", 1.0, 0, 100, 300), true, on, {true, 0.5}, Steady(255)},
        {Backlight("FIXED", 1.0, 0, 100, -5), true, on, {true, 0.5}, Steady(0)},
        {Backlight("Off", 1.0, 0, 100), true, on, {true, 0.5}, Steady(0)},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(ComputeLedState(c.profile, c.connected, c.battery, c.lighting), c.expected)
            << "case " << i;
    }
    // Effects by name, whatever the case and spaces; each number held to its field.
    const std::vector<std::pair<LedEffect, LedState>> effects = {
        {{"steady", 300, 9, 9, 9}, {1, 255, 0, 0, 0}},
        {{"STEADY", -1, 0, 0, 0}, {1, 0, 0, 0, 0}},
        {{" Bre athe", 0, 300, 70000, -3}, {2, 0, 255, 65535, 0}},
        {{"FLASH", 0, -1, -1, 256}, {3, 0, 0, 0, 255}},
        {{"sparkle", 100, 1, 1, 1}, {}}};
    for (const auto& [effect, expected] : effects) {
        EXPECT_EQ(ComputeEffectState(effect), expected) << effect.effect;
    }
}

TEST(OutputStateTest, LightingLevelTexts) {
    constexpr double kNone = -99.0;  // no level read
    const std::vector<std::pair<std::string, double>> cases = {
        // The whole text a number, or the variable's value up to ';' or the line's end.
        {"0.5", 0.5},
        {"  -3e1", -30.0},
        {"x;l:lighting_potentiometer_5= 42 ;y", 42.0},
        {"LIGHTING_POTENTIOMETER_5=0.25\r\nrest", 0.25},
        {"(L:LIGHTING_POTENTIOMETER_5) = 7abc", 7.0},
        {"0.5abc", kNone},
        {std::string("0.5\0", 4), kNone},
        {"OTHER=0.5", kNone},
        {"L:LIGHTING_POTENTIOMETER_5", kNone},
        {"L:LIGHTING_POTENTIOMETER_5=", kNone},
        {"L:LIGHTING_POTENTIOMETER_5==1", kNone},
        // Not numbers a brightness can be computed from.
        {"1e999", kNone},
        {"L:LIGHTING_POTENTIOMETER_5=1e999", kNone},
        {"nan", kNone},
        {"inf", kNone},
        {"L:LIGHTING_POTENTIOMETER_5=-infinity", kNone}};
    for (const auto& [text, expected] : cases) {
        double level = kNone;
        EXPECT_EQ(ParseLightingLevel(text, level), expected != kNone) << text;
        EXPECT_DOUBLE_EQ(level, expected) << text;
    }
}

}  // namespace
}  // namespace tarnwick
