// A connected panel board as the HID manager addresses it: its device name (the board id from its
// device-info report, else its serial number, else its path) and its index, handed out in
// connection order. The name is the text an output device's boardId is compared with.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

struct PanelBoard {
    std::string name;
    std::int32_t index = 0;

    friend bool operator==(const PanelBoard&, const PanelBoard&) = default;
};

}  // namespace tarnwick
