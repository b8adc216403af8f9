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
    JsonParseResult result = ParseJson(text);
    EXPECT_TRUE(result.ok) << result.error << " in " << text;
    return result.value;
}

auto Fields(const BacklightSettings& b) {
    return std::make_tuple(b.mode, b.min, b.max, b.defaultLevel, b.value, b.scale);
}
auto Fields(const LedEffect& e) {
    return std::make_tuple(e.effect, e.brightness, e.param0, e.param1, e.param2);
}
auto Fields(const OutputProfile& p) {
    return std::make_tuple(Fields(p.backlight), Fields(p.simDisconnected), Fields(p.batteryOff));
}

TEST(OutputProfileTest, BuiltInDefaultValues) {
    const OutputProfile& p = BuiltInDefaultProfile();
    EXPECT_EQ(Fields(p.backlight), Fields(BacklightSettings{"lvar", 0, 100, 80, 80, 1.0}));
    EXPECT_EQ(Fields(p.simDisconnected), Fields(LedEffect{"flash", 0, 4, 150, 100}));
    EXPECT_EQ(Fields(p.batteryOff), Fields(LedEffect{"breathe", 0, 5, 1000, 50}));
}

TEST(OutputProfileTest, ProfileChangesOnlyWhatItGives) {
    const auto builtIn = Fields(BuiltInDefaultProfile());
    EXPECT_EQ(Fields(ReadOutputProfile(Parse("{}"))), builtIn);
    EXPECT_EQ(Fields(ReadOutputProfile(
                  Parse(R"({"backlight":5,"simDisconnected":[],"batteryOff":"steady"})"))),
              builtIn);

    OutputProfile expected = BuiltInDefaultProfile();
    expected.simDisconnected.effect = "STEADY";
    expected.batteryOff.param2 = 7;
    EXPECT_EQ(Fields(ReadOutputProfile(
                  Parse(R"({"simDisconnected":{"effect":" steady "},"batteryOff":{"level":7}})"))),
              Fields(expected));
}

TEST(OutputProfileTest, BacklightKeysKindsAndTruncation) {
    const BacklightSettings defaults{"lvar", 1, 2, 3, 4, 5.0};
    EXPECT_EQ(Fields(ReadBacklightSettings(
                  Parse(R"({"mode":" fixed ","min":10.9,"max":99.9,"default":-0.7,"value":50,)"
                        R"("scale":1.5})"),
                  defaults)),
              Fields(BacklightSettings{"FIXED", 10, 99, 0, 50, 1.5}));
    EXPECT_EQ(
        Fields(ReadBacklightSettings(
            Parse(R"({"mode":1,"min":"10","max":true,"default":null,"scale":"2"})"), defaults)),
        Fields(defaults));
}

TEST(OutputProfileTest, EffectSecondNamesWinOverNumberedOnes) {
    const LedEffect defaults{"off", 1, 2, 3, 4};
    EXPECT_EQ(Fields(ReadLedEffect(Parse(R"({"param1":200,"periodMs":300})"), defaults)),
              Fields(LedEffect{"off", 1, 2, 300, 4}));
    EXPECT_EQ(Fields(ReadLedEffect(Parse(R"({"effect":"b r e a t h e","brightness":9.9,)"
                                         R"("count":5,"param0":1,"param2":6,"level":8})"),
                                   defaults)),
              Fields(LedEffect{"BREATHE", 9, 5, 3, 8}));
    EXPECT_EQ(Fields(ReadLedEffect(Parse(R"({"param0":11,"param2":13,"effect":4,"count":"5"})"),
                                   defaults)),
              Fields(LedEffect{"off", 1, 11, 3, 13}));
}

TEST(OutputProfileTest, EffectNames) {
    for (const char* name : {"flash", "Flash", "b r e a t h e", "OFF", "\tsteady\n"}) {
        EXPECT_TRUE(IsValidEffectName(name)) << name;
    }
    for (const char* name : {"lvar", "", "  ", "FLASHING"}) {
        EXPECT_FALSE(IsValidEffectName(name)) << name;
    }
}

OutputDeviceConfig Entry(const std::string& boardId, std::int32_t index,
                         const std::string& role = "", const std::string& ledProfile = "") {
    return OutputDeviceConfig{boardId, index, role, ledProfile};
}

TEST(FindOutputDeviceTest, BoardIdFirstThenIndex) {
    AppConfig config;
    config.outputDevices = {Entry("", 1), Entry("00AB", -1), Entry("00AB", 5), Entry("CD", 1)};
    const auto& d = config.outputDevices;
    EXPECT_EQ(FindOutputDevice(config, " 0x00ab", 1), &d[1]);
    // No leading-zero folding: "ab" is not 00AB, so the index decides.
    EXPECT_EQ(FindOutputDevice(config, "ab", 1), &d[0]);
    EXPECT_EQ(FindOutputDevice(config, "ab", 5), &d[2]);
    EXPECT_EQ(FindOutputDevice(config, "ab", 9), nullptr);
    EXPECT_EQ(FindOutputDevice(config, "", -1), nullptr);
    // A board id that normalizes to nothing must not match the entries without a board id.
    EXPECT_EQ(FindOutputDevice(config, "0x", -1), nullptr);
}

class ResolveOutputProfileTest : public ::testing::Test {
protected:
    ResolveOutputProfileTest() {
        config_.outputs.roleProfiles = {{"PFD", "night "}, {"MFD", "MISSING"}};
        for (const char* name : {"DAY", "DEFAULT", "NIGHT"}) {
            config_.outputs.profiles[name] = BuiltInDefaultProfile();
        }
    }

    const OutputProfile* Resolve(const std::string& role, const std::string& ledProfile) {
        device_ = Entry("", 0, role, ledProfile);
        return ResolveOutputProfile(config_, &device_);
    }
    const OutputProfile* Named(const std::string& name) { return &config_.outputs.profiles[name]; }

    AppConfig config_;  // defaultProfile "default"
    OutputDeviceConfig device_;
};

TEST_F(ResolveOutputProfileTest, LedProfileThenRoleThenDefault) {
    EXPECT_EQ(Resolve("PFD", " day"), Named("DAY"));
    EXPECT_EQ(Resolve(" pfd", "  "), Named("NIGHT"));
    EXPECT_EQ(Resolve("COPILOT", ""), Named("DEFAULT"));
    EXPECT_EQ(ResolveOutputProfile(config_, nullptr), Named("DEFAULT"));
}

TEST_F(ResolveOutputProfileTest, UnknownNameGetsTheSmallestProfileNotTheDefault) {
    EXPECT_EQ(Resolve("", "EVENING"), Named("DAY"));
    EXPECT_EQ(Resolve("MFD", ""), Named("DAY"));
    config_.outputs.profiles.clear();
    EXPECT_EQ(ResolveOutputProfile(config_, nullptr), nullptr);
}

}  // namespace
}  // namespace tarnwick
