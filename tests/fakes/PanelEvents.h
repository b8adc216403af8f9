// Panel events as a board's input reports decode to them, for the tests of what reads them.
#pragma once

#include <cstdint>

#include "hid/HidProtocol.h"

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

}  // namespace tarnwick::test
