// Shared by the HID manager suites: ready-made virtual boards and panels, and a manager over
// them on a hand-moved clock with every callback recorded.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/ManualClock.h"
#include "hid/HidManager.h"
#include "hid/HidProtocol.h"
#include "hid/virtual/VirtualHidBackend.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

inline constexpr std::uint16_t kBoardVid = 0x04D8;
inline constexpr std::uint16_t kBoardPid = 0xE6B0;
inline constexpr std::uint16_t kPanelVid = 0x2E8A;
inline constexpr std::uint16_t kPanelPid = 0x10F0;

// The protocol answer every ready-made board gives.
inline constexpr HidProtocol::ProtocolInfo kProtocol{1, 2, 0x0A};

// Firmware 1.4.0, board id idByte 61 41 03 E7 45 2D 2F.
inline HidProtocol::DeviceInfo MakeInfo(std::uint8_t idByte) {
    return HidProtocol::DeviceInfo{1, 4, 0, {idByte, 0x61, 0x41, 0x03, 0xE7, 0x45, 0x2D, 0x2F}};
}

// Panel boards on kBoardVid:kBoardPid ("g1000"), touch panels on kPanelVid:kPanelPid. The scan
// interval is long unless given, so that tests decide when scans happen.
inline HidManagerSettings DefaultSettings(std::int32_t scanIntervalMs = 600000) {
    return HidManagerSettings{kBoardVid,
                              kBoardPid,
                              {HidDeviceTarget{kBoardVid, kBoardPid, PanelRole::G1000},
                               HidDeviceTarget{kPanelVid, kPanelPid, PanelRole::TouchPanel}},
                              scanIntervalMs};
}

// A manager over a virtual backend, with the log captured (DEBUG on) and every event recorded.
class HidManagerFixture : public testing::Test {
protected:
    // Readers wait for minutes on end: a Stop that waited out a read instead of cancelling it
    // would hang the test.
    Result Start(const HidManagerSettings& settings = DefaultSettings(), bool trace = false) {
        if (!manager_) {
            manager_ = std::make_unique<HidManager>(
                backend_, HidManager::Options{std::chrono::minutes(10)}, clock_);
        }
        manager_->SetTrace(trace);
        return manager_->Start(settings, [this](const HidProtocol::HidEvent& event,
                                                const std::string& name, int index) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({name + ":" + std::to_string(index), event});
        });
    }
    // What the readers delivered so far ("NAME:INDEX" and the event), taken under their lock.
    std::vector<std::pair<std::string, HidProtocol::HidEvent>> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    // Board answering device info (firmware 1.4.0) and protocol info when `idByte` is given.
    std::shared_ptr<VirtualHidDevice> PlugBoard(const std::string& path,
                                                std::optional<std::uint8_t> idByte,
                                                std::string serial = {}) {
        return backend_.Plug(VirtualPanelBoardSetup(
            path, kBoardVid, kBoardPid, idByte ? std::optional(MakeInfo(*idByte)) : std::nullopt,
            idByte ? std::optional(kProtocol) : std::nullopt, std::move(serial)));
    }
    std::shared_ptr<VirtualHidDevice> PlugPanel(const std::string& path, std::string serial) {
        return backend_.Plug(VirtualTouchPanelSetup(path, kPanelVid, kPanelPid, std::move(serial)));
    }

    LogCapture logs_{true};
    ManualClock clock_;
    VirtualHidBackend backend_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, HidProtocol::HidEvent>> events_;
    std::unique_ptr<HidManager> manager_;  // declared last: stopped before the rest goes
};

}  // namespace tarnwick::test
