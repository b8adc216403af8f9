// The configuration check over files in a temporary folder: each case changes one part of a
// configuration that is otherwise clean and gets exactly the findings it should, in order.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ConfigCheck.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

struct Files {
    std::string hidDevices = R"({"vid": "0x2E8A", "pid": "0x10F0"})";
    std::string outputs = R"("roleProfiles": {"MFD": "night"}, "profiles": {"night": {}})";
    std::string devices = R"({"index": 0, "role": "MFD"})";
    std::string buttons = R"({"buttons": [{"name": "hdg", "commands": {"PRESS": {"PFD": "x"}}}]})";
    std::string eventMap = R"({"event_types": {"BUTTON": 1}, "control_ids": {"HDG": 7}})";
};

TEST(ConfigCheckTest, FindingsOfEachKind) {
    struct Case {
        const char* what;
        void (*edit)(Files&);
        std::vector<std::string> lines;  // "@" stands for the folder and its separator
    };
    const Case cases[] = {
        {"clean: names compared as the button look-ups compare them", [](Files&) {}, {}},
        {"config.json refused by its loader",
         [](Files& f) { f.hidDevices.clear(); },
         {"error: @config.json: 'hid.devices' must not be empty"}},
        {"buttons.json refused: nothing else is checked",
         [](Files& f) {
             f.buttons = "[]";
             f.devices = R"({"index": 0, "ledProfile": "typo"})";
         },
         {"error: @buttons.json: Failed to load button config: Button config root must be an "
          "object"}},
        {"event map refused: a warning, and the controls are not compared",
         [](Files& f) {
             f.eventMap = "{}";
             f.buttons = R"({"knobs": [{"name": "CRS", "commands": {}}]})";
         },
         {"warning: @map.json: Failed to load HID event map: Event map missing valid "
          "event_types entries"}},
        {"a control the event map does not name",
         [](Files& f) {
             f.buttons = R"({"buttons": [{"name": "HDG", "commands": {}}, {"name": "c r s",
                            "commands": {}}]})";
         },
         {"warning: @buttons.json: control CRS: not in @map.json, so no panel event reaches it"}},
        {"a command too long for the command channel",
         [](Files& f) {
             f.buttons = R"({"buttons": [{"name": "HDG", "commands": {"PRESS": {"PFD": ")" +
                         std::string(300, 'x') + R"("}}}]})";
         },
         {"warning: @buttons.json: Command for HDG PRESS (role PFD) is too long (300 bytes, at "
          "most 238); it will not be sent"}},
        {"roles and profiles",
         [](Files& f) {
             f.outputs = R"("roleProfiles": {"mfd": "dusk", "pfd": "night"},
                            "profiles": {"night": {}}, "defaultProfile": "day")";
             f.devices = R"({"index": 0, "role": "PFD", "ledProfile": " "},
                            {"index": 1, "role": "GPS"}, {"index": 2, "ledProfile": "dawn"})";
         },
         {"warning: @config.json: outputs.roleProfiles.MFD: no profile 'DUSK' in outputs.profiles "
          "(boards get 'DAY')",
          "warning: @config.json: devices[1]: role 'GPS' has no profile: no ledProfile and no "
          "outputs.roleProfiles entry, so the board gets outputs.defaultProfile",
          "warning: @config.json: devices[2]: no profile 'dawn' in outputs.profiles (boards get "
          "'DAY')"}},
        {"no hid.devices entry opens a panel board",
         [](Files& f) {
             f.hidDevices = R"({"vid": "0x2E8A", "pid": "0x10F1", "role": "touchpanel"},
                               {"vid": "zz", "pid": "1"})";
         },
         {"warning: @config.json: devices[0]: no hid.devices entry opens a panel board (role "
          "g1000 with a valid vid and pid), so this entry never applies"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        Files files;
        c.edit(files);
        dir.Write("config.json", R"({"hid": {"vid": "1", "pid": "2", "devices": [)" +
                                     files.hidDevices + R"(]}, "mappings": {"buttonConfigPath":
            "buttons.json", "hidEventMapPath": "map.json"}, "outputs": {)" +
                                     files.outputs + R"(}, "devices": [)" + files.devices + "]}");
        dir.Write("buttons.json", files.buttons);
        dir.Write("map.json", files.eventMap);
        const std::string folder = dir.File("");
        std::vector<std::string> expected;
        for (std::string line : c.lines) {
            for (std::size_t at = line.find('@'); at != std::string::npos; at = line.find('@')) {
                line.replace(at, 1, folder);
            }
            expected.push_back(line);
        }
        std::vector<std::string> lines;
        for (const ConfigFinding& finding : CheckConfiguration(dir.File("config.json"))) {
            lines.push_back(FormatFinding(finding));
        }
        EXPECT_EQ(lines, expected);
    }
}

}  // namespace
}  // namespace tarnwick
