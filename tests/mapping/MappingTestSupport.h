// The small cockpit the mapping tests share: its control names, its button configuration and
// event map (tests/data/mapping), a configuration with two output devices, and panel events as a
// board's input reports decode to them.
#pragma once

#include <cstdint>

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

// The controls of tests/data/mapping: 5 is the autopilot master button and has a configured
// release only; 6 is named but not configured; 7 has no name at all.
constexpr std::uint16_t kAp = 5, kFd = 6, kUnnamedAp = 7, kHdg = 21, kNavSwap = 30, kMapLeft = 40,
                        kMapRight = 41, kMapUp = 42, kSoftkey = 50;

// Two boards with entries: "B0" (index 0) plays the MFD, board index 1 plays "copilot".
inline AppConfig MakeConfig() {
    AppConfig config;
    config.mobiflight.mapHoldRepeatMs = 100;
    config.outputs.profiles["DEFAULT"] = BuiltInDefaultProfile();
    config.outputDevices = {{"B0", -1, "MFD", ""}, {"", 1, "copilot", ""}};
    return config;
}

inline void LoadNames(ButtonConfig& buttons, HidEventMap& eventMap) {
    ASSERT_TRUE(buttons.Load(TARNWICK_TEST_DATA_DIR "/mapping/buttons.json"));
    ASSERT_TRUE(eventMap.Load(TARNWICK_TEST_DATA_DIR "/mapping/hid_event_map.json"));
}

}  // namespace tarnwick::test
