// The configuration check over files in a temporary folder: each case changes parts of a clean
// configuration and gets exactly the findings it should, in order. Names are compared as the
// button look-ups compare them ("hdg" is the event map's HDG), and a role whose entry has a blank
// ledProfile takes its profile from outputs.roleProfiles.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ConfigCheck.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

struct Case {
    std::vector<std::string> lines;
    std::string hidDevices = R"({"vid": "0x2E8A", "pid": "0x10F0"})";
    std::string outputsAndDevices = R"("devices": [{"index": 0}])";
    std::string buttons = R"({"buttons": [{"name": "hdg", "commands": {}}]})";
    std::string eventMap = R"({"event_types": {"BUTTON": 1}, "control_ids": {"HDG": 7}})";
};

TEST(ConfigCheckTest, FindingsOfEachKind) {
    const Case cases[] = {
        {.lines = {"error: buttons.json: Failed to load button config: Button config root "
                   "must be an object"},
         .buttons = "[]"},
        // Without an event map the controls go unchecked.
        {.lines = {"warning: map.json: Failed to load HID event map: Event map missing valid "
                   "event_types entries",
                   "warning: config.json: devices[0]: no hid.devices entry opens a panel board "
                   "(role g1000 with a valid vid and pid), so this entry never applies"},
         .hidDevices =
             R"({"vid": "1", "pid": "3", "role": "touchpanel"}, {"vid": "z", "pid": "1"})",
         .buttons = R"({"knobs": [{"name": "CRS", "commands": {}}]})",
         .eventMap = "{}"},
        {.lines =
             {"warning: buttons.json: control CRS: not in map.json, so no panel event reaches it",
              "warning: buttons.json: Command for HDG PRESS (role PFD) is too long (300 bytes, at "
              "most 238); it will not be sent",
              "warning: config.json: outputs.roleProfiles.MFD: no profile 'DUSK' in "
              "outputs.profiles (boards get 'DAY')",
              "warning: config.json: devices[1]: role 'GPS' has no profile: no ledProfile and no "
              "outputs.roleProfiles entry, so the board gets outputs.defaultProfile",
              "warning: config.json: devices[2]: no profile 'dawn' in outputs.profiles "
              "(boards get 'DAY')"},
         .outputsAndDevices = R"("outputs": {"roleProfiles": {"mfd": "dusk", "pfd": "night"},
             "profiles": {"night": {}}, "defaultProfile": "day"}, "devices": [{"index": 0, "role":
             "PFD", "ledProfile": " "}, {"index": 1, "role": "GPS"}, {"index": 2, "ledProfile":
             "dawn"}])",
         .buttons = R"({"buttons": [{"name": "c r s", "commands": {}}, {"name": "hdg", "commands":
             {"PRESS": {"PFD": ")" +
                    std::string(300, 'x') + R"("}}}]})"},
        // Sets in buttons.json: their controls and commands are checked like the base's.
        {.lines = {"warning: buttons.json: control ALT: not in map.json, so no panel event "
                   "reaches it",
                   "warning: buttons.json: Command for ALT CW (role DEFAULT) in aircraft set "
                   "'Baron' is too long (239 bytes, at most 238); it will not be sent",
                   "warning: buttons.json: aircraft[0]: aircraft set 'Same' changes nothing: the "
                   "base sections already send each of its commands",
                   "warning: buttons.json: aircraft[1]: aircraft set 'Skyhawk' is never chosen: "
                   "every title it matches also matches aircraft set 'Same', which comes first"},
         .buttons = R"({"buttons": [{"name": "hdg", "commands": {"PRESS": {"": "a"}}}],
             "aircraft": [{"name": "Same", "match": "Cessna", "buttons": [{"name": "HDG",
             "commands": {"press": {"DEFAULT": "a"}}}]}, {"name": "Skyhawk", "match": "cessna 172"},
             {"name": "Baron", "match": "baron", "knobs": [{"name": "alt", "commands": {"CW":
             {"": ")" +
                    std::string(239, 'x') + R"("}}}]}]})"},
    };
    test::TempDir dir;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());  // so the findings name the files as written here
    for (const Case& c : cases) {
        dir.Write("config.json", R"({"hid": {"vid": "1", "pid": "2", "devices": [)" + c.hidDevices +
                                     R"(]}, "mappings": {"buttonConfigPath":
            "buttons.json", "hidEventMapPath": "map.json"}, )" +
                                     c.outputsAndDevices + "}");
        dir.Write("buttons.json", c.buttons);
        dir.Write("map.json", c.eventMap);
        std::vector<std::string> lines;
        for (const ConfigFinding& finding : CheckConfiguration("config.json")) {
            lines.push_back(FormatFinding(finding));
        }
        EXPECT_EQ(lines, c.lines);
    }
    std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace tarnwick
