// What a configured HID device is. config.json names it "g1000" (a panel board) or "touchpanel",
// compared byte for byte; the name is read once, when the file is loaded.
#pragma once

#include <string_view>

namespace tarnwick {

enum class PanelRole { G1000, TouchPanel, Unknown };

// Unknown for any text other than the two names.
inline PanelRole ParsePanelRole(std::string_view text) {
    if (text == "g1000") {
        return PanelRole::G1000;
    }
    return text == "touchpanel" ? PanelRole::TouchPanel : PanelRole::Unknown;
}

// The name the file uses; empty for Unknown.
inline std::string_view PanelRoleName(PanelRole role) {
    switch (role) {
        case PanelRole::G1000:
            return "g1000";
        case PanelRole::TouchPanel:
            return "touchpanel";
        case PanelRole::Unknown:
        default:
            return {};
    }
}

}  // namespace tarnwick
