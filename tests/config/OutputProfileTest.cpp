#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/Json.h"
#include "config/OutputProfile.h"

namespace tarnwick {
namespace {

std::string Describe(const OutputProfile& p) {
    std::ostringstream s;
    const BacklightSettings& b = p.backlight;
    s << b.mode << ' ' << b.min << ' ' << b.max << ' ' << b.defaultLevel << ' ' << b.value << ' '
      << b.scale;
    for (const LedEffect& e : {p.simDisconnected, p.batteryOff}) {
        s << " | " << e.effect << ' ' << e.brightness << ' ' << e.param0 << ' ' << e.param1 << ' '
          << e.param2;
    }
    return s.str();
}

// Numbers are truncated, names normalized, the descriptive names win over the numbered ones, and
// members of the wrong kind leave the built-in values.
TEST(OutputProfileTest, ProfilesReadOverTheBuiltInOne) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"backlight":{"mode":" fixed ","min":10.9,"max":99.9,"default":-0.7,"value":50,)"
         R"("scale":1.5},"simDisconnected":{"effect":"b r e a t h e","brightness":9.9,"count":5,)"
         R"("param0":1,"param1":200,"periodMs":300,"param2":6,"level":8},"batteryOff":{"param0":11}})",
         "FIXED 10 99 0 50 1.5 | BREATHE 9 5 300 8 | breathe 0 11 1000 50"},
        {R"({"backlight":{"mode":1,"min":"10","max":true,"default":null,"scale":"2"},)"
         R"("simDisconnected":5,"batteryOff":{"effect":4,"count":"5"}})",
         "lvar 0 100 80 80 1 | flash 0 4 150 100 | breathe 0 5 1000 50"}};
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(Describe(ReadOutputProfile(ParseJson(text).value)), expected) << text;
    }
    EXPECT_TRUE(IsValidEffectName("b r e a t h e") && IsValidEffectName("Flash"));
    EXPECT_FALSE(IsValidEffectName("  ") || IsValidEffectName("FLASHING"));
}

TEST(OutputProfileTest, BoardsFindTheirEntryAndProfile) {
    AppConfig config;  // defaultProfile "default"
    config.outputDevices = {{"", 1, "", ""}, {"00AB", -1, "", ""}, {"00AB", 5, "", ""}};
    const auto& d = config.outputDevices;
    EXPECT_EQ(FindOutputDevice(config, " 0x00ab", 1), &d[1]);
    // No leading-zero folding: "ab" is not 00AB, so the index decides.
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
