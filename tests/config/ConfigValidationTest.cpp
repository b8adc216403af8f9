#include <functional>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/ConfigValidation.h"
#include "config/OutputProfile.h"

namespace tarnwick {
namespace {

HidDeviceConfig Device(const std::string& vid, const std::string& pid,
                       PanelRole role = PanelRole::G1000, const std::string& unknownRole = "") {
    return HidDeviceConfig{ReadHexId16(vid), ReadHexId16(pid), role, unknownRole};
}

// The profile with this name, added as the built-in profile on first use.
OutputProfile& Profile(AppConfig& c, const char* name = "NIGHT") {
    return c.outputs.profiles.try_emplace(name, BuiltInDefaultProfile()).first->second;
}
BacklightSettings& Light(AppConfig& c) {
    return Profile(c).backlight;
}

// Each row breaks a record that passes every rule; the result is the message of the first rule
// that fails, or empty when the changed record still passes.
TEST(ConfigValidationTest, GivesExactlyThisResult) {
    const std::string n = "outputs.profiles[NIGHT].";
    const std::string range = "backlight min/max must be between 0-100";
    const struct {
        std::function<void(AppConfig&)> change;
        std::string message;
    } cases[] = {
        {[](AppConfig&) {}, ""},
        {[](AppConfig& c) { c.vid = {}; }, "hid.vid is required"},
        {[](AppConfig& c) { c.pid = {}; }, "hid.pid is required"},
        {[](AppConfig& c) { c.devices.clear(); }, "hid.devices must not be empty"},
        {[](AppConfig& c) { c.devices[1].vid = {}; }, "hid.devices[1].vid is required"},
        {[](AppConfig& c) { c.devices[0].pid = {}; }, "hid.devices[0].pid is required"},
        {[](AppConfig& c) { c.devices[1] = Device("1", "2", PanelRole::Unknown, "TouchPanel"); },
         "hid.devices[1].role is unknown: TouchPanel"},
        {[](AppConfig& c) { c.devices.push_back(Device(" 04d8", "0Xe6d7")); },
         "hid.devices[2] duplicates the vid/pid of hid.devices[1]"},
        // Compared as text: leading zeros make another entry.
        {[](AppConfig& c) { c.devices.push_back(Device("4D8", "E6D6")); }, ""},
        {[](AppConfig& c) { c.telemetryIntervalMs = 0; }, "hid.telemetryIntervalMs must be > 0"},
        {[](AppConfig& c) { c.buttonConfigPath.clear(); }, "mappings.buttonConfigPath is required"},
        {[](AppConfig& c) { c.mobiflight.rpnRateLimitMs = -1; },
         "mobiflight.rpnRateLimitMs must be >= 0"},
        {[](AppConfig& c) { c.mobiflight.mapHoldRepeatMs = 0; },
         "mobiflight.mapHoldRepeatMs must be > 0"},
        {[](AppConfig& c) { c.mobiflight.commandChannel.clear(); },
         "mobiflight.commandChannel is required when enabled"},
        {[](AppConfig& c) { c.mobiflight.responseChannel.clear(); },
         "mobiflight.responseChannel is required when enabled"},
        {[](AppConfig& c) { c.mobiflight.lvarsChannel.clear(); },
         "mobiflight.lvarsChannel is required when enabled"},
        {[](AppConfig& c) { c.mobiflight = MobiFlightSettings{false, "", "", "", "", 0, 1}; }, ""},
        {[](AppConfig& c) { c.cdcEnabled = true; }, "cdc.comPort is required when cdc.enabled=1"},
        {[](AppConfig& c) { c.outputs.debounceMs = -1; }, "outputs.debounceMs must be >= 0"},
        {[](AppConfig& c) { Light(c) = BacklightSettings{"", 20, 10, 50, 50, 1.0}; }, n + range},
        {[](AppConfig& c) { Light(c).max = 101; }, n + range},
        {[](AppConfig& c) { Light(c).defaultLevel = -1; },
         n + "backlight default must be between 0-100"},
        {[](AppConfig& c) { Light(c).value = 101; }, n + "backlight value must be between 0-100"},
        // Default and value are held to 0..100, not to the profile's own min and max.
        {[](AppConfig& c) { Light(c) = BacklightSettings{"", 40, 60, 0, 100, 1.0}; }, ""},
        {[](AppConfig& c) { Light(c).scale = std::numeric_limits<double>::infinity(); },
         n + "backlight scale must be > 0"},
        {[](AppConfig& c) { Profile(c).simDisconnected.effect = "LVAR"; },
         n + "simDisconnected.effect is invalid"},
        {[](AppConfig& c) { Profile(c).batteryOff.effect = "BLINK"; },
         n + "batteryOff.effect is invalid"},
        {[](AppConfig& c) { Profile(c).batteryOff.effect = " steady "; }, ""},
        // Only the first failing rule is reported: the fixed order, each device and each
        // profile (in key order) checked completely before the next.
        {[](AppConfig& c) {
             c.devices[0] = Device("1", "2", PanelRole::Unknown, "pfd");
             c.devices[1].vid = {};
         },
         "hid.devices[0].role is unknown: pfd"},
        {[](AppConfig& c) {
             Light(c).min = -1;
             Profile(c, "A").batteryOff.effect = "x";
             Profile(c, "A").backlight.scale = -1.0;
         },
         "outputs.profiles[A].backlight scale must be > 0"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        AppConfig config;
        config.vid = ReadHexId16("0x04D8");
        config.pid = ReadHexId16("0xE6D6");
        config.devices = {Device("0x04D8", "0xE6D6"), Device("0x04D8", "0xE6D7")};
        config.buttonConfigPath = "buttons.json";
        Profile(config, "DEFAULT");
        cases[i].change(config);
        const Result result = ValidateAppConfig(config);
        EXPECT_EQ(result.Ok(), cases[i].message.empty()) << "row " << i;
        EXPECT_EQ(result.Error(), cases[i].message) << "row " << i;
    }
}

}  // namespace
}  // namespace tarnwick
