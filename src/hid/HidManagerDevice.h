// The manager's record of one open device, shared by the manager's source files only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "hid/HidBackend.h"
#include "hid/HidManager.h"
#include "hid/HidProtocol.h"

namespace tarnwick {

struct HidManager::Device {
    std::string path;    // as enumerated; the table key
    std::string name;    // board id, else serial number, else path
    std::string serial;  // UTF-8; empty when unavailable
    PanelRole role = PanelRole::G1000;
    bool touchPanel = false;
    HidProtocol::DeviceInfo info;
    HidProtocol::ProtocolInfo protocol;
    bool hasInfo = false;
    bool hasProtocolInfo = false;
    std::uint32_t index = UINT32_MAX;

    std::unique_ptr<HidHandle> readHandle;  // never null while in the table
    bool writable = false;                  // a write handle was opened
    bool afterReadError = false;            // replaces a device of this path whose reads failed

    // Copied from the manager's slots when the device connects; the reader only reads them.
    std::shared_ptr<const EventCallback> eventCallback;
    std::shared_ptr<const SettingsCallback> settingsCallback;

    std::atomic<bool> running{false};
    std::atomic<bool> readFailed{false};  // the reader ended on a failed read: the scan drops it
    std::thread reader;

    // Serialises the device's writes and guards writeHandle (null: output disabled or closed).
    // Held across a write; never held while taking deviceMutex_.
    std::mutex writeMutex;
    std::unique_ptr<HidHandle> writeHandle;

    // Guarded by the manager's memoryMutex_.
    HidProtocol::Report lastLed{};
    bool hasLastLed = false;
    std::uint64_t simStatusSerial = 0;  // the manager's simStatusSerial_ last written here
};

}  // namespace tarnwick
