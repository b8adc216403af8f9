#include <gtest/gtest.h>

#include "app/virtual/Scenario.h"

namespace tarnwick {
namespace {

const std::string kDevices = R"js({"devices": [
    {"name": "pfd", "vid": "0x2E8A", "pid": "10f0", "boardId": "0xe66118604b1f2a31"},
    {"name": "touch", "role": "touchpanel", "vid": "2E8A", "pid": "10F1", "plugged": 0}])js";

TEST(Scenario, TimelineIsOrderedExpandedAndCutAtTheEnd) {
    Scenario s;
    ASSERT_TRUE(ParseScenario(kDevices + R"js(, "simulator": {}, "timeline": [
        {"at": 500, "device": "pfd", "encoder": 60, "detents": -2, "repeat": 3, "everyMs": 10},
        {"at": 100, "device": "pfd", "button": 20, "action": "hold", "level": 3},
        {"at": 100, "device": "touch", "headingBug": 90.5, "sequence": 4},
        {"at": 700, "end": 1}, {"at": 800, "battery": 0}]})js",
                              s));
    EXPECT_EQ(s.devices[0].boardId, "E66118604B1F2A31");
    EXPECT_FALSE(s.devices[1].plugged);
    std::vector<std::pair<ScenarioActionKind, int>> steps;
    for (const ScenarioStep& step : s.steps) {
        steps.emplace_back(step.kind, step.atMs);
    }
    using K = ScenarioActionKind;  // same time: file order; nothing after the end
    EXPECT_EQ(steps, (std::vector<std::pair<K, int>>{{K::Button, 100},
                                                     {K::Settings, 100},
                                                     {K::Encoder, 500},
                                                     {K::Encoder, 510},
                                                     {K::Encoder, 520},
                                                     {K::End, 700}}));
    ASSERT_TRUE(ParseScenario("{}", s));  // nothing described: ends a second after the start
    EXPECT_EQ(s.endMs, 1000);
}

TEST(Scenario, MistakesAreNamedByTheirPlace) {
    const std::string step = kDevices + R"js(, "timeline": [{"at": 1, )js";
    const std::pair<std::string, std::string> cases[] = {
        {"[", "Scenario parse error: Unterminated array"},
        {"[]", "Scenario root must be an object"},
        {R"js({"devices": {}})js", "devices: must be an array"},
        {R"js({"devices": [{"vid": "1", "pid": "2"}]})js",
         "devices[0]: 'name' must be a non-empty string"},
        {R"js({"devices": [{"name": "a", "role": "mfd", "vid": "1", "pid": "2"}]})js",
         "devices[0]: 'role' must be \"g1000\" or \"touchpanel\": mfd"},
        {R"js({"devices": [{"name": "a", "vid": "0x12345", "pid": "2"}]})js",
         "devices[0]: 'vid' is not a 16-bit hexadecimal id: 0x12345"},
        {R"js({"devices": [{"name": "a", "vid": "1", "pid": "2", "boardId": "12"}]})js",
         "devices[0]: 'boardId' must be 16 hexadecimal digits: 12"},
        {R"js({"devices": [{"name": "a", "vid": "1", "pid": "2"},
                           {"name": "a", "vid": "1", "pid": "2"}]})js",
         "devices[1]: the name 'a' is used twice"},
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
    };
    for (const auto& [text, error] : cases) {
        Scenario scenario;
        EXPECT_EQ(ParseScenario(text, scenario).Error(), error) << text;
    }
    Scenario scenario;
    EXPECT_EQ(LoadScenario("no/such/scenario.json", scenario).Error(),
              "Failed to open scenario file: no/such/scenario.json");
}

}  // namespace
}  // namespace tarnwick
