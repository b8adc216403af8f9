#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "config/OutputProfile.h"
#include "mapping/OutputState.h"

namespace tarnwick {
namespace {

using HidProtocol::LedState;

OutputProfile Lvar(double scale, std::int32_t min, std::int32_t max,
                   std::int32_t defaultLevel = 80) {
    OutputProfile profile = BuiltInDefaultProfile();
    profile.backlight.mode = "lvar";
    profile.backlight.scale = scale;
    profile.backlight.min = min;
    profile.backlight.max = max;
    profile.backlight.defaultLevel = defaultLevel;
    return profile;
}

LedState Steady(std::uint8_t brightness) {
    return LedState{1, brightness, 0, 0, 0};
}

std::uint8_t Brightness(const OutputProfile& profile, double level) {
    const LedState state = ComputeLedState(profile, true, true, true, true, level);
    EXPECT_EQ(state.effect, 1);
    return state.brightness;
}

TEST(ComputeLedStateTest, ChoosesBetweenBacklightAndTheTwoEffects) {
    const OutputProfile profile = BuiltInDefaultProfile();  // flash when disconnected, breathe off
    const LedState disconnected = ComputeEffectState(profile.simDisconnected);
    const LedState batteryOff = ComputeEffectState(profile.batteryOff);
    ASSERT_EQ(disconnected.effect, 3);
    ASSERT_EQ(batteryOff.effect, 2);

    // A battery never reported counts as on.
    EXPECT_EQ(ComputeLedState(profile, true, false, false, false, 0.0), Steady(80));
    EXPECT_EQ(ComputeLedState(profile, true, true, true, false, 0.0), Steady(80));
    EXPECT_EQ(ComputeLedState(profile, true, true, false, false, 0.0), batteryOff);
    // Without a connection the battery does not matter.
    EXPECT_EQ(ComputeLedState(profile, false, true, true, true, 0.5), disconnected);
    EXPECT_EQ(ComputeLedState(profile, false, true, false, true, 0.5), disconnected);
    EXPECT_EQ(ComputeLedState(profile, false, false, false, false, 0.5), disconnected);
}

TEST(ComputeLedStateTest, LevelsBelowOneArePercentages) {
    const OutputProfile percent = Lvar(1.0, 0, 100);
    EXPECT_EQ(Brightness(percent, 0.8), 80);
    EXPECT_EQ(Brightness(percent, 80.0), 80);
    EXPECT_EQ(Brightness(percent, 1.0), 100);
    EXPECT_EQ(Brightness(percent, 1.5), 2);  // above 1.0, so not a fraction
    EXPECT_EQ(Brightness(percent, 0.0), 0);

    EXPECT_EQ(Brightness(Lvar(3.0, 0, 255), 0.5), 150);
    EXPECT_EQ(Brightness(Lvar(3.0, 0, 100), 0.5), 100);
    EXPECT_EQ(Brightness(Lvar(1.0, 20, 100), 0.1), 20);
    // Half away from zero: 2.5 -> 3, 0.125 * 100 * 0.2 = 2.5 -> 3.
    EXPECT_EQ(Brightness(Lvar(0.5, 0, 100), 5.0), 3);
    EXPECT_EQ(Brightness(Lvar(0.2, 0, 100), 0.125), 3);
    // min and max beyond a byte are still held to one.
    EXPECT_EQ(Brightness(Lvar(10.0, 0, 1000), 90.0), 255);
    EXPECT_EQ(Brightness(Lvar(1.0, -50, 100), -30.0), 0);
}

TEST(ComputeLedStateTest, UnknownLevelUsesTheProfileDefault) {
    const LedState state = ComputeLedState(Lvar(2.0, 0, 255, 40), true, true, true, false, 0.9);
    EXPECT_EQ(state, Steady(80));
}

TEST(ComputeLedStateTest, FixedAndOffIgnoreTheLevel) {
    OutputProfile profile = Lvar(1.0, 0, 100);
    profile.backlight.mode = " fixed ";
    profile.backlight.value = 300;
    EXPECT_EQ(ComputeLedState(profile, true, true, true, true, 0.5), Steady(255));
    profile.backlight.value = -5;
    EXPECT_EQ(ComputeLedState(profile, true, true, true, true, 0.5), Steady(0));
    profile.backlight.value = 42;
    EXPECT_EQ(ComputeLedState(profile, true, false, false, true, 0.5), Steady(42));
    profile.backlight.mode = "Off";
    EXPECT_EQ(ComputeLedState(profile, true, true, true, true, 0.5), Steady(0));
}

TEST(ComputeLedStateTest, LevelsOutsideAnyIntegerStayWithinTheRange) {
    const OutputProfile profile = Lvar(1.0, 10, 90);
    EXPECT_EQ(Brightness(profile, 1e300), 90);
    EXPECT_EQ(Brightness(profile, -1e300), 10);
    EXPECT_EQ(Brightness(profile, std::numeric_limits<double>::infinity()), 90);
    EXPECT_EQ(Brightness(profile, std::numeric_limits<double>::quiet_NaN()), 10);
    EXPECT_EQ(Brightness(Lvar(std::numeric_limits<double>::quiet_NaN(), 0, 100), 50.0), 0);
}

TEST(ComputeEffectStateTest, NamesAndRanges) {
    EXPECT_EQ(ComputeEffectState(LedEffect{"steady", 300, 9, 9, 9}), (LedState{1, 255, 0, 0, 0}));
    EXPECT_EQ(ComputeEffectState(LedEffect{"STEADY", -1, 0, 0, 0}), (LedState{1, 0, 0, 0, 0}));
    EXPECT_EQ(ComputeEffectState(LedEffect{"flash", 200, 4, 150, 100}),
              (LedState{3, 0, 4, 150, 100}));
    EXPECT_EQ(ComputeEffectState(LedEffect{" Bre athe", 0, 300, 70000, -3}),
              (LedState{2, 0, 255, 65535, 0}));
    EXPECT_EQ(ComputeEffectState(LedEffect{"FLASH", 0, -1, -1, 256}), (LedState{3, 0, 0, 0, 255}));
    EXPECT_EQ(ComputeEffectState(LedEffect{"OFF", 100, 1, 1, 1}), LedState{});
    EXPECT_EQ(ComputeEffectState(LedEffect{"sparkle", 100, 1, 1, 1}), LedState{});
    EXPECT_EQ(ComputeEffectState(LedEffect{"", 100, 1, 1, 1}), LedState{});
}

struct LevelCase {
    const char* text;
    bool ok;
    double level;
};

class ParseLightingLevelTest : public testing::TestWithParam<LevelCase> {};

TEST_P(ParseLightingLevelTest, Reads) {
    const LevelCase& c = GetParam();
    double level = -99.0;
    EXPECT_EQ(ParseLightingLevel(c.text, level), c.ok) << c.text;
    EXPECT_DOUBLE_EQ(level, c.ok ? c.level : -99.0) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseLightingLevelTest,
    testing::Values(
        LevelCase{"0.5", true, 0.5}, LevelCase{"  0.75", true, 0.75}, LevelCase{"42", true, 42.0},
        LevelCase{"-3e1", true, -30.0}, LevelCase{"L:LIGHTING_POTENTIOMETER_5=0.5", true, 0.5},
        LevelCase{"x;l:lighting_potentiometer_5= 42 ;y", true, 42.0},
        LevelCase{"LIGHTING_POTENTIOMETER_5=0.25\r\nrest", true, 0.25},
        LevelCase{"(L:LIGHTING_POTENTIOMETER_5) = 7abc", true, 7.0},
        LevelCase{"L:LIGHTING_POTENTIOMETER_5==1", false, 0}, LevelCase{"0.5abc", false, 0},
        LevelCase{"", false, 0}, LevelCase{"0.5 ", false, 0}, LevelCase{"abc", false, 0},
        LevelCase{"L:LIGHTING_POTENTIOMETER_5", false, 0},
        LevelCase{"L:LIGHTING_POTENTIOMETER_5=", false, 0},
        LevelCase{"L:LIGHTING_POTENTIOMETER_5=;0.5", false, 0},
        LevelCase{"L:LIGHTING_POTENTIOMETER_5=abc", false, 0}, LevelCase{"OTHER=0.5", false, 0},
        LevelCase{"1e999", false, 0}, LevelCase{"L:LIGHTING_POTENTIOMETER_5=1e999", false, 0},
        // Not numbers a brightness can be computed from.
        LevelCase{"nan", false, 0}, LevelCase{"inf", false, 0},
        LevelCase{"L:LIGHTING_POTENTIOMETER_5=-infinity", false, 0}));

TEST(ParseLightingLevelTest, EmbeddedNulEndsNothing) {
    double level = 0.0;
    EXPECT_FALSE(ParseLightingLevel(std::string("0.5\0", 4), level));
    EXPECT_TRUE(ParseLightingLevel(std::string("LIGHTING_POTENTIOMETER_5=0.5\0x", 30), level));
    EXPECT_DOUBLE_EQ(level, 0.5);
}

}  // namespace
}  // namespace tarnwick
