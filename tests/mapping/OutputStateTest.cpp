// What a board shows for a simulator state, and the lighting level read from the module's texts:
// pure functions, tables of inputs against the exact LED state.
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

TEST(ComputeLedStateTest, Table) {
    const OutputProfile standard = BuiltInDefaultProfile();  // lvar 0-100 x1, default 80
    const LedState flash{3, 0, 4, 150, 100};                 // its simDisconnected effect
    const LedState breathe{2, 0, 5, 1000, 50};               // its batteryOff effect
    const SimStatus::Battery unknown{false, false}, on{true, true}, off{true, false};
    const SimStatus::Lighting none{false, 0.0};
    struct Case {
        OutputProfile profile;
        bool connected;
        SimStatus::Battery battery;
        SimStatus::Lighting lighting;
        LedState expected;
    };
    const std::vector<Case> cases = {
        // Connection and battery choose between the backlight and the two effects; a battery
        // never reported counts as on, and an unknown level is the profile's default.
        {standard, true, unknown, none, Steady(80)},
        {standard, true, on, none, Steady(80)},
        {standard, true, off, {true, 0.5}, breathe},
        {standard, false, on, {true, 0.5}, flash},
        {standard, false, off, none, flash},
        // A level of 1.0 or less is a fraction; the scaled level is rounded half away from zero
        // and held to the profile's range and to a byte.
        {standard, true, on, {true, 0.8}, Steady(80)},
        {standard, true, on, {true, 80.0}, Steady(80)},
        {standard, true, on, {true, 1.0}, Steady(100)},
        {standard, true, on, {true, 1.5}, Steady(2)},
        {standard, true, on, {true, 0.0}, Steady(0)},
        {Backlight("LVAR", 3.0, 0, 255), true, on, {true, 0.5}, Steady(150)},
        {Backlight("LVAR", 3.0, 0, 100), true, on, {true, 0.5}, Steady(100)},
        {Backlight("LVAR", 1.0, 20, 100), true, on, {true, 0.1}, Steady(20)},
        {Backlight("LVAR", 0.5, 0, 100), true, on, {true, 5.0}, Steady(3)},
        {Backlight("LVAR", 0.2, 0, 100), true, on, {true, 0.125}, Steady(3)},
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
        {Backlight("FIXED", 1.0, 0, 100, 42), true, unknown, {true, 0.5}, Steady(42)},
        {Backlight("Off", 1.0, 0, 100), true, on, {true, 0.5}, Steady(0)},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(ComputeLedState(c.profile, c.connected, c.battery, c.lighting), c.expected)
            << "case " << i;
    }
}

TEST(ComputeEffectStateTest, NamesAndRanges) {
    const std::vector<std::pair<LedEffect, LedState>> cases = {
        {{"steady", 300, 9, 9, 9}, {1, 255, 0, 0, 0}},
        {{"STEADY", -1, 0, 0, 0}, {1, 0, 0, 0, 0}},
        {{"flash", 200, 4, 150, 100}, {3, 0, 4, 150, 100}},
        {{" Bre athe", 0, 300, 70000, -3}, {2, 0, 255, 65535, 0}},
        {{"FLASH", 0, -1, -1, 256}, {3, 0, 0, 0, 255}},
        {{"OFF", 100, 1, 1, 1}, {}},
        {{"sparkle", 100, 1, 1, 1}, {}},
        {{"", 100, 1, 1, 1}, {}}};
    for (const auto& [effect, expected] : cases) {
        EXPECT_EQ(ComputeEffectState(effect), expected) << effect.effect;
    }
}

TEST(ParseLightingLevelTest, Texts) {
    struct Case {
        std::string text;
        bool ok;
        double level;
    };
    const std::vector<Case> cases = {
        {"0.5", true, 0.5},
        {"  0.75", true, 0.75},
        {"42", true, 42.0},
        {"-3e1", true, -30.0},
        {"L:LIGHTING_POTENTIOMETER_5=0.5", true, 0.5},
        {"x;l:lighting_potentiometer_5= 42 ;y", true, 42.0},
        {"LIGHTING_POTENTIOMETER_5=0.25\r\nrest", true, 0.25},
        {"(L:LIGHTING_POTENTIOMETER_5) = 7abc", true, 7.0},
        {std::string("LIGHTING_POTENTIOMETER_5=0.5\0x", 30), true, 0.5},
        {"L:LIGHTING_POTENTIOMETER_5==1", false, 0},
        {"0.5abc", false, 0},
        {"", false, 0},
        {"0.5 ", false, 0},
        {std::string("0.5\0", 4), false, 0},
        {"abc", false, 0},
        {"L:LIGHTING_POTENTIOMETER_5", false, 0},
        {"L:LIGHTING_POTENTIOMETER_5=", false, 0},
        {"L:LIGHTING_POTENTIOMETER_5=;0.5", false, 0},
        {"L:LIGHTING_POTENTIOMETER_5=abc", false, 0},
        {"OTHER=0.5", false, 0},
        {"1e999", false, 0},
        {"L:LIGHTING_POTENTIOMETER_5=1e999", false, 0},
        // Not numbers a brightness can be computed from.
        {"nan", false, 0},
        {"inf", false, 0},
        {"L:LIGHTING_POTENTIOMETER_5=-infinity", false, 0}};
    for (const Case& c : cases) {
        double level = -99.0;
        EXPECT_EQ(ParseLightingLevel(c.text, level), c.ok) << c.text;
        EXPECT_DOUBLE_EQ(level, c.ok ? c.level : -99.0) << c.text;
    }
}

}  // namespace
}  // namespace tarnwick
