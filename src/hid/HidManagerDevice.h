// The manager's record of one open device, shared by the manager's source files only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "hid/HidBackend.h"
#include "hid/HidManager.h"
#include "hid/HidProtocol.h"

namespace tarnwick {

// The one role that makes a device a touch panel; compared byte for byte.
inline constexpr const char* kTouchPanelRole = "touchpanel";

struct HidManager::Device {
    std::string path;    // as enumerated; the table key
    std::string name;    // board id, else serial number, else path
    std::string serial;  // UTF-8; empty when unavailable
    std::string role;
    bool touchPanel = false;
    HidProtocol::DeviceInfo info;
    HidProtocol::ProtocolInfo protocol;
    bool hasInfo = false;
    bool hasProtocolInfo = false;
    std::uint32_t index = UINT32_MAX;

    std::unique_ptr<HidHandle> readHandle;   // never null while in the table
    std::unique_ptr<HidHandle> writeHandle;  // null: output disabled

    // Copied from the manager's slots when the device connects; the reader only reads them.
    std::shared_ptr<const EventCallback> eventCallback;
    std::shared_ptr<const SettingsCallback> settingsCallback;

    std::atomic<bool> running{false};
    std::thread reader;

    // Guarded by the manager's deviceMutex_.
    HidProtocol::Report lastLed{};
    bool hasLastLed = false;
};

}  // namespace tarnwick
