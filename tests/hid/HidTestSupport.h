// Shared by the HID manager suites: ready-made virtual boards and panels, and a manager over
// them with every callback recorded.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hid/HidManager.h"
#include "hid/HidProtocol.h"
#include "hid/virtual/VirtualHidBackend.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

inline constexpr std::uint16_t kBoardVid = 0x04D8;
inline constexpr std::uint16_t kBoardPid = 0xE6B0;
inline constexpr std::uint16_t kPanelVid = 0x2E8A;
inline constexpr std::uint16_t kPanelPid = 0x10F0;

HidProtocol::DeviceInfo MakeInfo(std::uint8_t firstIdByte, std::uint8_t major = 1,
                                 std::uint8_t minor = 4, std::uint8_t patch = 0);

// Manager settings with one target per role given: panel boards on kBoardVid:kBoardPid with
// role "g1000", touch panels on kPanelVid:kPanelPid. The scan interval is long unless given,
// so that tests decide when scans happen.
HidManagerSettings DefaultSettings(std::int32_t scanIntervalMs = 600000);

// Everything a device's reader delivered, safe to read from the test thread.
class EventLog {
public:
    struct Event {
        HidProtocol::HidEvent event;
        std::string name;
        int index = -1;
    };
    struct SettingsRecord {
        TelemetryProtocol::Settings settings;
        std::string name;
    };

    HidManager::EventCallback EventSink();
    HidManager::SettingsCallback SettingsSink();
    std::vector<Event> Events() const;
    std::vector<SettingsRecord> Settings() const;
    std::size_t EventCount() const;
    std::size_t SettingsCount() const;

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::vector<SettingsRecord> settings_;
};

// The protocol answer every ready-made board gives.
inline constexpr HidProtocol::ProtocolInfo kProtocol{1, 2, 0x0A};

// A manager over a virtual backend, with the log captured (DEBUG on) and every callback recorded.
class HidManagerFixture : public testing::Test {
protected:
    void MakeManager(std::chrono::milliseconds slice = std::chrono::milliseconds(20));
    bool Start(const HidManagerSettings& settings = DefaultSettings(), bool trace = false);

    // A board on kBoardVid:kBoardPid answering device info (board id idByte 61 41 03 E7 45 2D
    // 2F, firmware 1.4.0) and protocol info.
    std::shared_ptr<VirtualHidDevice> PlugBoard(const std::string& path, std::uint8_t idByte,
                                                std::string serial = {});
    // A board that answers no feature report.
    std::shared_ptr<VirtualHidDevice> PlugPlainBoard(const std::string& path,
                                                     std::string serial = {});
    std::shared_ptr<VirtualHidDevice> PlugPanel(const std::string& path, std::string serial);
    // Something that is not ours (a mouse).
    std::shared_ptr<VirtualHidDevice> PlugForeign(const std::string& path);

    LogCapture logs_{true};
    VirtualHidBackend backend_;
    EventLog events_;
    std::unique_ptr<HidManager> manager_;  // declared last: stopped before the rest goes
    std::string lastError_;
};

}  // namespace tarnwick::test
