// The small cockpit the mapping tests share: its control names, its button configuration, a
// configuration with two output devices, and panel events as a board's input reports decode to
// them.
#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "fakes/FakeMappingPorts.h"
#include "hid/HidProtocol.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

inline HidProtocol::HidEvent PanelEvent(std::uint8_t type, std::uint16_t controlId,
                                        std::int8_t value, std::uint8_t speed = 0,
                                        std::uint8_t mode = 0) {
    return HidProtocol::HidEvent{0, type, controlId, value, speed, mode, 0};
}
inline HidProtocol::HidEvent Press(std::uint16_t id, std::uint8_t mode = 0) {
    return PanelEvent(HidProtocol::kControlTypeButton, id, 1, 0, mode);
}
inline HidProtocol::HidEvent Release(std::uint16_t id) {
    return PanelEvent(HidProtocol::kControlTypeButton, id, 0);
}
// A board's hold report: value 2 to 4.
inline HidProtocol::HidEvent Hold(std::uint16_t id, std::int8_t value = 2, std::uint8_t mode = 0) {
    return PanelEvent(HidProtocol::kControlTypeButton, id, value, 0, mode);
}
inline HidProtocol::HidEvent Turn(std::uint16_t id, std::int8_t value, std::uint8_t speed = 0) {
    return PanelEvent(HidProtocol::kControlTypeEncoder, id, value, speed);
}

constexpr std::uint16_t kAp = 5, kFd = 6, kUnnamedAp = 7, kHdg = 21, kNavSwap = 30, kMapLeft = 40,
                        kMapRight = 41, kMapUp = 42, kSoftkey = 50;

// Control 5 is the autopilot master button and has a configured release only; 6 is named but not
// configured; 7 has no name at all.
inline const char* kEventMapJson = R"({"event_types": {"BUTTON": 1, "ENCODER": 2, "LED_SHOW": 4},
  "control_ids": {"AP": 5, "FD": 6, "HDG_KNOB": 21, "NAV_SWAP": 30, "MAP_LEFT": 40,
                  "MAP_RIGHT": 41, "MAP_UP": 42, "MAP_DOWN": 43, "SOFTKEY": 50}})";

inline const char* kButtonConfigJson = R"({"buttons": [
    {"name": "AP", "commands": {"RELEASE": {"DEFAULT": "ap up"}}},
    {"name": "NAV_SWAP", "commands": {"PRESS": {"DEFAULT": "nav swap"},
                                      "HOLD": {"DEFAULT": "nav swap hold"}}},
    {"name": "map_left", "commands": {"PRESS": {"DEFAULT": "map left"},
                         "HOLD": {"DEFAULT": "map left hold"}, "CW": {"DEFAULT": "map left cw"}}},
    {"name": "MAP_RIGHT", "commands": {"PRESS": {"DEFAULT": "map right"}}},
    {"name": "MAP_UP", "commands": {}},
    {"name": "SOFTKEY", "commands": {"PRESS": {"DEFAULT": "softkey", "PFD": "softkey pfd",
                                               "COPILOT": "softkey copilot"},
        "RELEASE": {"DEFAULT": "softkey up"}, "HOLD": {"DEFAULT": "softkey hold"}}}],
  "knobs": [{"name": "HDG_KNOB", "commands": {"CW": {"DEFAULT": "hdg inc"},
      "CCW": {"DEFAULT": "hdg dec"}, "CCW_FAST": {"DEFAULT": "hdg dec fast"}}}]})";

// Two boards with entries: "B0" (index 0) plays the MFD, board index 1 plays "copilot".
inline AppConfig MakeConfig() {
    AppConfig config;
    config.mobiflight.mapHoldRepeatMs = 100;
    config.outputs.profiles["DEFAULT"] = BuiltInDefaultProfile();
    config.outputDevices = {{"B0", -1, "MFD", ""}, {"", 1, "copilot", ""}};
    return config;
}

inline void LoadNames(const TempDir& dir, ButtonConfig& buttons, HidEventMap& eventMap) {
    ASSERT_TRUE(buttons.Load(dir.Write("buttons.json", kButtonConfigJson)));
    ASSERT_TRUE(eventMap.Load(dir.Write("hid_event_map.json", kEventMapJson)));
}

}  // namespace tarnwick::test
