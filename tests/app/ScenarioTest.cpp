#include <gtest/gtest.h>

#include "app/virtual/Scenario.h"

namespace tarnwick {
namespace {

const std::string kDevices = R"js({"devices": [
    {"name": "pfd", "vid": "0x2E8A", "pid": "10f0", "boardId": "0xe66118604b1f2a31"},
    {"name": "touch", "role": "touchpanel", "vid": "2E8A", "pid": "10F1", "plugged": 0}])js";

// The reader's verdict: its message, or the steps as kind@time.
std::string Read(const std::string& text) {
    Scenario s;
    if (const Result read = ParseScenario(text, s); !read) {
        return read.Error();
    }
    std::string steps;
    for (const ScenarioStep& step : s.steps) {
        steps +=
            std::to_string(static_cast<int>(step.kind)) + "@" + std::to_string(step.atMs) + " ";
    }
    return steps;
}

TEST(Scenario, StepsAreOrderedAndMistakesNamedByTheirPlace) {
    const std::string step = kDevices + R"js(, "timeline": [{"at": 1, )js";
    const std::string device = R"js({"devices": [{"name": "a", "vid": "1", "pid": "2")js";
    const std::pair<std::string, std::string> cases[] = {
        // Same time: file order; a step repeated; nothing after the end, or an end a second after
        // the last step.
        {kDevices + R"js(, "simulator": {}, "timeline": [
           {"at": 500, "device": "pfd", "encoder": 60, "detents": -2, "repeat": 3, "everyMs": 10},
           {"at": 100, "device": "pfd", "button": 20, "action": "hold", "level": 3},
           {"at": 100, "device": "touch", "headingBug": 90.5, "sequence": 4},
           {"at": 700, "end": 1}, {"at": 800, "battery": 0}]})js",
         "0@100 2@100 1@500 1@510 1@520 15@700 "},
        {"{}", "15@1000 "},
        {"[", "Scenario parse error: Unterminated array"},
        {"[]", "Scenario root must be an object"},
        {R"js({"devices": {}})js", "devices: must be an array"},
        {R"js({"devices": [{"vid": "1", "pid": "2"}]})js",
         "devices[0]: 'name' must be a non-empty string"},
        {device + R"js(, "role": "mfd"}]})js",
         "devices[0]: 'role' must be \"g1000\" or \"touchpanel\": mfd"},
        {R"js({"devices": [{"name": "a", "vid": "0x12345", "pid": "2"}]})js",
         "devices[0]: 'vid' is not a 16-bit hexadecimal id: 0x12345"},
        {device + R"js(, "boardId": "12"}]})js",
         "devices[0]: 'boardId' must be 16 hexadecimal digits: 12"},
        {device + "}, " + device.substr(13) + "}]}", "devices[1]: the name 'a' is used twice"},
        {kDevices + R"js(, "timeline": [{"device": "pfd", "button": 1}]})js",
         "timeline[0]: 'at' (milliseconds from the start) is required"},
        {step + R"js("device": "mfd", "button": 1}]})js", "timeline[0]: unknown device 'mfd'"},
        {step + R"js("device": "pfd", "button": 1, "action": "tap"}]})js",
         "timeline[0]: 'action' must be \"press\", \"release\" or \"hold\""},
        {step + R"js("device": "pfd", "encoder": 1, "detents": 200}]})js",
         "timeline[0]: 'detents' must be a whole number from -128 to 127"},
        {step + R"js("battery": 0}]})js",
         "timeline[0]: 'battery' needs a virtual simulator in the scenario"},
        {step + R"js("button": 3, "action": "press"}]})js",
         "timeline[0]: 'button' needs a 'device'"},
        // The first step key wins; a heading or course that is not a number is no step key.
        {step + R"js("end": 1, "unplug": 1}]})js", "timeline[0]: 'plug/unplug' needs a 'device'"},
        {step + R"js("course": "x", "lighting": 1}]})js",
         "timeline[0]: 'lighting' needs a virtual simulator in the scenario"},
        {kDevices + R"js(, "timeline": [{"at": 1.5, "end": 1}]})js",
         "timeline[0]: 'at' must be a whole number from 0 to 86400000"},
        {step + R"js("end": 1, "repeat": 2}]})js", "timeline[0]: 'end' cannot repeat"},
        {step + R"js("x": 1}]})js", "timeline[0]: says nothing to do"},
        {kDevices + R"js(, "simulator": {"aircraft": 1}})js",
         "simulator: 'aircraft' must be a string"},
        {kDevices + R"js(, "simulator": {}, "timeline": [{"at": 1, "aircraft": true}]})js",
         "timeline[0]: 'aircraft' must be a string"},
        {step + R"js("replaceFile": "buttons.json"}]})js",
         "timeline[0]: 'replaceFile' needs a file name and 'with' the file to put there"},
    };
    for (const auto& [text, verdict] : cases) {
        EXPECT_EQ(Read(text), verdict) << text;
    }
    Scenario scenario;
    EXPECT_EQ(LoadScenario("no/such/scenario.json", scenario).Error(),
              "Failed to open scenario file: no/such/scenario.json");
}

}  // namespace
}  // namespace tarnwick
