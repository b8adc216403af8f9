#include <functional>
#include <limits>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/ConfigValidation.h"
#include "config/OutputProfile.h"

namespace tarnwick {
namespace {

HidDeviceConfig Device(const std::string& vid, const std::string& pid,
                       PanelRole role = PanelRole::G1000) {
    return HidDeviceConfig{ReadHexId16(vid), ReadHexId16(pid), role, ""};
}

void SetUnknownRole(HidDeviceConfig& device, const std::string& text) {
    device.role = PanelRole::Unknown;
    device.unknownRole = text;
}

// A record that passes every rule; each case below breaks only what it names.
AppConfig ValidConfig() {
    AppConfig config;
    config.vid = ReadHexId16("0x04D8");
    config.pid = ReadHexId16("0xE6D6");
    config.devices = {Device("0x04D8", "0xE6D6"),
                      Device("0x04D8", "0xE6D7", PanelRole::TouchPanel)};
    config.buttonConfigPath = "buttons.json";
    config.outputs.profiles["DEFAULT"] = BuiltInDefaultProfile();
    return config;
}

// The profile NIGHT, added as the built-in profile on first use.
OutputProfile& Night(AppConfig& c) {
    return c.outputs.profiles.try_emplace("NIGHT", BuiltInDefaultProfile()).first->second;
}
BacklightSettings& Light(AppConfig& c) {
    return Night(c).backlight;
}

// The profile A, which sorts before NIGHT.
OutputProfile& First(AppConfig& c) {
    return c.outputs.profiles.try_emplace("A", BuiltInDefaultProfile()).first->second;
}

struct RuleCase {
    const char* name;
    std::function<void(AppConfig&)> change;
    std::string message;  // empty: the changed record still passes
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.name;
}

class ValidationRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ValidationRuleTest, GivesExactlyThisResult) {
    AppConfig config = ValidConfig();
    GetParam().change(config);
    std::string error;
    EXPECT_EQ(ValidateAppConfig(config, error), GetParam().message.empty());
    EXPECT_EQ(error, GetParam().message);
}

const std::string kNight = "outputs.profiles[NIGHT].";

INSTANTIATE_TEST_SUITE_P(
    Rules, ValidationRuleTest,
    ::testing::Values(
        RuleCase{"Valid", [](AppConfig&) {}, ""},
        RuleCase{"Vid", [](AppConfig& c) { c.vid = {}; }, "hid.vid is required"},
        RuleCase{"Pid", [](AppConfig& c) { c.pid = {}; }, "hid.pid is required"},
        RuleCase{"NoDevices", [](AppConfig& c) { c.devices.clear(); },
                 "hid.devices must not be empty"},
        RuleCase{"DeviceVid", [](AppConfig& c) { c.devices[1].vid = {}; },
                 "hid.devices[1].vid is required"},
        RuleCase{"DevicePid", [](AppConfig& c) { c.devices[0].pid = {}; },
                 "hid.devices[0].pid is required"},
        RuleCase{"DeviceRole", [](AppConfig& c) { SetUnknownRole(c.devices[1], "TouchPanel"); },
                 "hid.devices[1].role is unknown: TouchPanel"},
        RuleCase{"Duplicate", [](AppConfig& c) { c.devices.push_back(Device(" 04d8", "0Xe6d7")); },
                 "hid.devices[2] duplicates the vid/pid of hid.devices[1]"},
        RuleCase{"LeadingZerosKept",
                 [](AppConfig& c) { c.devices.push_back(Device("4D8", "E6D6")); }, ""},
        RuleCase{"Telemetry0", [](AppConfig& c) { c.telemetryIntervalMs = 0; },
                 "hid.telemetryIntervalMs must be > 0"},
        RuleCase{"Telemetry1", [](AppConfig& c) { c.telemetryIntervalMs = 1; }, ""},
        RuleCase{"ButtonPath", [](AppConfig& c) { c.buttonConfigPath.clear(); },
                 "mappings.buttonConfigPath is required"},
        RuleCase{"RateLimit", [](AppConfig& c) { c.mobiflight.rpnRateLimitMs = -1; },
                 "mobiflight.rpnRateLimitMs must be >= 0"},
        RuleCase{"HoldRepeat", [](AppConfig& c) { c.mobiflight.mapHoldRepeatMs = 0; },
                 "mobiflight.mapHoldRepeatMs must be > 0"},
        RuleCase{"Command", [](AppConfig& c) { c.mobiflight.commandChannel.clear(); },
                 "mobiflight.commandChannel is required when enabled"},
        RuleCase{"Response", [](AppConfig& c) { c.mobiflight.responseChannel.clear(); },
                 "mobiflight.responseChannel is required when enabled"},
        RuleCase{"Lvars", [](AppConfig& c) { c.mobiflight.lvarsChannel.clear(); },
                 "mobiflight.lvarsChannel is required when enabled"},
        RuleCase{
            "ChannelsUnusedWhenDisabled",
            [](AppConfig& c) { c.mobiflight = MobiFlightSettings{false, "", "", "", "", 0, 1}; },
            ""},
        RuleCase{"Cdc", [](AppConfig& c) { c.cdcEnabled = true; },
                 "cdc.comPort is required when cdc.enabled=1"},
        RuleCase{"Debounce", [](AppConfig& c) { c.outputs.debounceMs = -1; },
                 "outputs.debounceMs must be >= 0"},
        RuleCase{"NotExamined",
                 [](AppConfig& c) {
                     c.scanIntervalMs = -5;
                     c.outputDevices.push_back(OutputDeviceConfig{"", -7, "", ""});
                     Light(c).mode = "nonsense";
                     Night(c).simDisconnected.brightness = -1;
                 },
                 ""},
        RuleCase{"MinAboveMax",
                 [](AppConfig& c) { Light(c) = BacklightSettings{"", 20, 10, 50, 50, 1.0}; },
                 kNight + "backlight min/max must be between 0-100"},
        RuleCase{"MinNegative", [](AppConfig& c) { Light(c).min = -1; },
                 kNight + "backlight min/max must be between 0-100"},
        RuleCase{"Max101", [](AppConfig& c) { Light(c).max = 101; },
                 kNight + "backlight min/max must be between 0-100"},
        RuleCase{"Default", [](AppConfig& c) { Light(c).defaultLevel = -1; },
                 kNight + "backlight default must be between 0-100"},
        RuleCase{"Value", [](AppConfig& c) { Light(c).value = 101; },
                 kNight + "backlight value must be between 0-100"},
        // Default and value are held to 0..100, not to the profile's own min and max.
        RuleCase{"LevelsOutsideMinMax",
                 [](AppConfig& c) { Light(c) = BacklightSettings{"", 40, 60, 0, 100, 1.0}; }, ""},
        RuleCase{"Scale0", [](AppConfig& c) { Light(c).scale = 0.0; },
                 kNight + "backlight scale must be > 0"},
        RuleCase{"ScaleInfinite",
                 [](AppConfig& c) { Light(c).scale = std::numeric_limits<double>::infinity(); },
                 kNight + "backlight scale must be > 0"},
        RuleCase{"SimDisconnected", [](AppConfig& c) { Night(c).simDisconnected.effect = "LVAR"; },
                 kNight + "simDisconnected.effect is invalid"},
        RuleCase{"BatteryOff", [](AppConfig& c) { Night(c).batteryOff.effect = "BLINK"; },
                 kNight + "batteryOff.effect is invalid"},
        RuleCase{"EffectsEmptyOrUnnormalized",
                 [](AppConfig& c) {
                     Night(c).simDisconnected.effect.clear();
                     Night(c).batteryOff.effect = " steady ";
                 },
                 ""}),
    [](const ::testing::TestParamInfo<RuleCase>& info) { return info.param.name; });

TEST(ValidationOrderTest, OnlyTheFirstFailingRuleIsReported) {
    struct {
        std::function<void(AppConfig&)> change;
        std::string message;
    } const cases[] = {
        {[](AppConfig& c) {
             c.buttonConfigPath.clear();
             c.telemetryIntervalMs = 0;
         },
         "hid.telemetryIntervalMs must be > 0"},
        // All checks of one device come before any check of the next.
        {[](AppConfig& c) {
             SetUnknownRole(c.devices[0], "pfd");
             c.devices[1].vid = {};
         },
         "hid.devices[0].role is unknown: pfd"},
        // Profiles in key order, each one checked completely before the next.
        {[](AppConfig& c) {
             Light(c).min = -1;
             First(c).batteryOff.effect = "x";
         },
         "outputs.profiles[A].batteryOff.effect is invalid"},
        {[](AppConfig& c) {
             First(c).batteryOff.effect = "x";
             First(c).backlight.scale = -1.0;
         },
         "outputs.profiles[A].backlight scale must be > 0"},
    };
    for (const auto& testCase : cases) {
        AppConfig config = ValidConfig();
        testCase.change(config);
        std::string error;
        EXPECT_FALSE(ValidateAppConfig(config, error));
        EXPECT_EQ(error, testCase.message);
    }
}

}  // namespace
}  // namespace tarnwick
