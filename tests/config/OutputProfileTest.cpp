#include <cstdint>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/Json.h"
#include "config/OutputProfile.h"

namespace tarnwick {
namespace {

JsonValue Parse(const std::string& text) {
    return ParseJson(text).value;
}
auto Fields(const BacklightSettings& b) {
    return std::make_tuple(b.mode, b.min, b.max, b.defaultLevel, b.value, b.scale);
}
auto Fields(const LedEffect& e) {
    return std::make_tuple(e.effect, e.brightness, e.param0, e.param1, e.param2);
}

TEST(OutputProfileTest, KeysAreReadTruncatedAndTheSecondNamesWin) {
    const BacklightSettings light{"lvar", 1, 2, 3, 4, 5.0};
    EXPECT_EQ(Fields(ReadBacklightSettings(
                  Parse(R"({"mode":" fixed ","min":10.9,"max":99.9,"default":-0.7,"value":50,)"
                        R"("scale":1.5})"),
                  light)),
              Fields(BacklightSettings{"FIXED", 10, 99, 0, 50, 1.5}));
    EXPECT_EQ(Fields(ReadBacklightSettings(
                  Parse(R"({"mode":1,"min":"10","max":true,"default":null,"scale":"2"})"), light)),
              Fields(light));
    const LedEffect led{"off", 1, 2, 3, 4};
    const struct {
        const char* text;
        LedEffect expected;
    } effects[] = {
        {R"({"effect":"b r e a t h e","brightness":9.9,"count":5,"param0":1,"param2":6,"level":8})",
         {"BREATHE", 9, 5, 3, 8}},
        {R"({"param0":11,"param2":13,"effect":4,"count":"5"})", {"off", 1, 11, 3, 13}}};
    for (const auto& e : effects) {
        EXPECT_EQ(Fields(ReadLedEffect(Parse(e.text), led)), Fields(e.expected)) << e.text;
    }
    const OutputProfile profile = ReadOutputProfile(Parse(
        R"({"backlight":5,"simDisconnected":{"effect":" steady "},"batteryOff":{"level":7}})"));
    EXPECT_EQ(Fields(profile.backlight), Fields(BuiltInDefaultProfile().backlight));
    EXPECT_EQ(profile.simDisconnected.effect + std::to_string(profile.batteryOff.param2),
              "STEADY7");
    EXPECT_TRUE(IsValidEffectName("b r e a t h e") && IsValidEffectName("Flash"));
    EXPECT_FALSE(IsValidEffectName("  ") || IsValidEffectName("FLASHING"));
}

TEST(OutputProfileTest, BoardsFindTheirEntryAndProfile) {
    AppConfig config;  // defaultProfile "default"
    config.outputDevices = {{"", 1, "", ""}, {"00AB", -1, "", ""}, {"00AB", 5, "", ""}};
    const auto& d = config.outputDevices;
    EXPECT_EQ(FindOutputDevice(config, " 0x00ab", 1), &d[1]);
    // No leading-zero folding: "ab" is not 00AB, so the index decides.
    EXPECT_EQ(FindOutputDevice(config, "ab", 1), &d[0]);
    EXPECT_EQ(FindOutputDevice(config, "ab", 5), &d[2]);
    // A board id that normalizes to nothing must not match the entries without a board id.
    EXPECT_EQ(FindOutputDevice(config, "0x", -1), nullptr);

    config.outputs.roleProfiles = {{"PFD", "night "}, {"MFD", "MISSING"}};
    for (const char* name : {"DAY", "DEFAULT", "NIGHT"}) {
        config.outputs.profiles[name] = BuiltInDefaultProfile();
    }
    // The device's own profile, then its role's, then the default; an unknown name gets the
    // first profile in key order, not the default.
    const struct {
        const char* role;
        const char* ledProfile;
        const char* expected;
    } cases[] = {{"PFD", " day", "DAY"},
                 {" pfd", "  ", "NIGHT"},
                 {"COPILOT", "", "DEFAULT"},
                 {"MFD", "", "DAY"}};
    for (const auto& c : cases) {
        const OutputDeviceConfig device{"", 0, c.role, c.ledProfile};
        EXPECT_EQ(ResolveOutputProfile(config, &device), &config.outputs.profiles[c.expected]);
    }
    EXPECT_EQ(ResolveOutputProfile(config, nullptr), &config.outputs.profiles["DEFAULT"]);
    config.outputs.profiles.clear();
    EXPECT_EQ(ResolveOutputProfile(config, nullptr), nullptr);
}

}  // namespace
}  // namespace tarnwick
