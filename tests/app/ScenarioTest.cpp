#include "app/virtual/Scenario.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

const char* kDevices = R"js("devices": [
    { "name": "pfd", "vid": "0x2E8A", "pid": "10f0", "boardId": "0xe66118604b1f2a31",
      "firmware": "1.4.2", "protocol": "2.1" },
    { "name": "touch", "role": "touchpanel", "vid": "2E8A", "pid": "10F1", "serial": "TP",
      "plugged": 0 }
  ])js";

Scenario Parse(const std::string& text) {
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

std::string ErrorOf(const std::string& text) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(ParseScenario(text, scenario, error));
    return error;
}

TEST(Scenario, DevicesAndSimulatorAreReadWithTheirDefaults) {
    const Scenario s =
        Parse(std::string("{") + kDevices + R"js(, "simulator": {"startMs": 250, "battery": 0,
          "lighting": 0.4, "module": "silent"}})js");
    ASSERT_EQ(s.devices.size(), 2u);
    EXPECT_TRUE(s.hasDevices);
    const ScenarioDevice& pfd = s.devices[0];
    EXPECT_EQ(pfd.role, PanelRole::G1000);
    EXPECT_EQ(pfd.vendorId, 0x2E8A);
    EXPECT_EQ(pfd.productId, 0x10F0);
    EXPECT_EQ(pfd.boardId, "E66118604B1F2A31");
    EXPECT_EQ(pfd.firmware[2], 2);
    EXPECT_EQ(pfd.protocol[0], 2);
    EXPECT_TRUE(pfd.plugged);
    EXPECT_FALSE(s.devices[1].plugged);
    ASSERT_TRUE(s.simulator.has_value());
    EXPECT_EQ(s.simulator->startMs, 250);
    EXPECT_FALSE(s.simulator->batteryOn);
    EXPECT_DOUBLE_EQ(*s.simulator->lighting, 0.4);
    EXPECT_EQ(s.simulator->moduleAnswer, "silent");

    // Nothing described: real devices and the real simulator, ending a second after the start.
    const Scenario empty = Parse("{}");
    EXPECT_FALSE(empty.hasDevices);
    EXPECT_FALSE(empty.simulator.has_value());
    ASSERT_EQ(empty.steps.size(), 1u);
    EXPECT_EQ(empty.steps[0].kind, ScenarioActionKind::End);
    EXPECT_EQ(empty.endMs, 1000);
}

TEST(Scenario, TimelineIsOrderedExpandedAndCutAtTheEnd) {
    const Scenario s = Parse(std::string("{") + kDevices + R"js(, "simulator": {}, "timeline": [
        { "at": 500, "device": "pfd", "encoder": 60, "detents": -2, "speed": 3,
          "repeat": 3, "everyMs": 10 },
        { "at": 100, "device": "pfd", "button": 20, "action": "hold", "level": 3, "mode": 1 },
        { "at": 100, "device": "touch", "headingBug": 90.5, "sequence": 4 },
        { "at": 600, "device": "pfd", "writesStall": 300 },
        { "at": 600, "device": "pfd", "readError": 1 },
        { "at": 700, "end": 1 },
        { "at": 800, "battery": 0 }
      ]})js");
    ASSERT_EQ(s.steps.size(), 8u);
    // Same time: file order; later steps after the end never happen.
    EXPECT_EQ(s.steps[0].kind, ScenarioActionKind::Button);
    EXPECT_EQ(s.steps[0].value, 3);
    EXPECT_EQ(s.steps[0].mode, 1);
    EXPECT_EQ(s.steps[1].kind, ScenarioActionKind::Settings);
    EXPECT_EQ(s.steps[1].flags, 0x01);
    EXPECT_EQ(s.steps[1].sequence, 4);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(s.steps[2 + i].kind, ScenarioActionKind::Encoder);
        EXPECT_EQ(s.steps[2 + i].atMs, 500 + 10 * i);
        EXPECT_EQ(s.steps[2 + i].value, -2);
        EXPECT_EQ(s.steps[2 + i].speed, 3);
    }
    EXPECT_EQ(s.steps[5].kind, ScenarioActionKind::WritesStall);
    EXPECT_EQ(s.steps[5].number, 300.0);
    EXPECT_EQ(s.steps[6].kind, ScenarioActionKind::ReadError);
    EXPECT_EQ(s.steps[7].kind, ScenarioActionKind::End);
    EXPECT_EQ(s.endMs, 700);
}

TEST(Scenario, MistakesAreNamedByTheirPlace) {
    const std::string devices = std::string("{") + kDevices;
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
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
        {devices + R"js(, "timeline": [{"device": "pfd", "button": 1, "action": "press"}]})js",
         "timeline[0]: 'at' (milliseconds from the start) is required"},
        {devices + R"js(, "timeline": [{"at": 1, "device": "mfd", "button": 1}]})js",
         "timeline[0]: unknown device 'mfd'"},
        {devices + R"js(, "timeline": [{"at": 1, "device": "pfd", "button": 1, "action": "tap"}]})js",
         "timeline[0]: 'action' must be \"press\", \"release\" or \"hold\""},
        {devices + R"js(, "timeline": [{"at": 1, "device": "pfd", "encoder": 1, "detents": 200}]})js",
         "timeline[0]: 'detents' must be a whole number from -128 to 127"},
        {devices + R"js(, "timeline": [{"at": 1, "battery": 0}]})js",
         "timeline[0]: 'battery' needs a virtual simulator in the scenario"},
        {devices + R"js(, "timeline": [{"at": 1, "button": 3, "action": "press"}]})js",
         "timeline[0]: 'button' needs a 'device'"},
        // The first step key wins; a heading or course that is not a number is no step key.
        {devices + R"js(, "timeline": [{"at": 1, "end": 1, "unplug": 1}]})js",
         "timeline[0]: 'plug/unplug' needs a 'device'"},
        {devices + R"js(, "timeline": [{"at": 1, "course": "x", "lighting": 1}]})js",
         "timeline[0]: 'lighting' needs a virtual simulator in the scenario"},
        {devices + R"js(, "timeline": [{"at": 1.5, "end": 1}]})js",
         "timeline[0]: 'at' must be a whole number from 0 to 86400000"},
        {devices + R"js(, "timeline": [{"at": 1, "end": 1, "repeat": 2}]})js",
         "timeline[0]: 'end' cannot repeat"},
        {devices + R"js(, "timeline": [{"at": 1}]})js", "timeline[0]: says nothing to do"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf(c.text), c.error) << c.text;
    }
}

}  // namespace
}  // namespace tarnwick
