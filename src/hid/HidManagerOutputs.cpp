// The manager's output operations: which devices receive which report, repeat suppression, and
// the messages of failed writes. The table lock is held only to pick the devices; each device's
// writes are serialised by its own write mutex, and the devices picked stay alive while they are
// written to, even when a scan drops them meanwhile. So a stalled board holds up only the
// callers that write to it, and never a scan, a look at the table or another board.
#include <string>

#include "hid/HidLogText.h"
#include "hid/HidManager.h"
#include "hid/HidManagerDevice.h"
#include "log/Logger.h"

namespace tarnwick {

using hidtext::Concat;
using hidtext::HexBytes;

std::vector<std::shared_ptr<HidManager::Device>> HidManager::Writable(bool touchPanels) {
    std::vector<std::shared_ptr<Device>> picked;
    std::lock_guard<std::mutex> lock(deviceMutex_);
    for (const auto& entry : devices_) {
        if (entry.second->touchPanel == touchPanels && entry.second->writable) {
            picked.push_back(entry.second);
        }
    }
    return picked;
}

void HidManager::SendSimStatus(bool connected) {
    const HidProtocol::Report report = HidProtocol::EncodeSimStatusReport(connected);
    {
        std::lock_guard<std::mutex> lock(memoryMutex_);
        if (simStatusSerial_ != 0 && report == lastSimStatus_) {
            return;
        }
        // Remembered before writing: boards that connect later receive it from the scan.
        lastSimStatus_ = report;
        ++simStatusSerial_;
    }
    for (const auto& device : Writable(false)) {
        PushSimStatus(*device, true);
    }
}

void HidManager::PushSimStatus(Device& device, bool warn) {
    std::lock_guard<std::mutex> writing(device.writeMutex);
    // The newest state, read under the device's write lock: of two callers racing, the one
    // that writes last writes the newest state, and a board never gets the same state twice.
    HidProtocol::Report report{};
    {
        std::lock_guard<std::mutex> lock(memoryMutex_);
        if (simStatusSerial_ == 0 || device.simStatusSerial == simStatusSerial_) {
            return;
        }
        report = lastSimStatus_;
        device.simStatusSerial = simStatusSerial_;  // a failed state is not retried either
    }
    if (!device.writeHandle) {
        return;  // closed by a scan meanwhile
    }
    const HidTransfer result = device.writeHandle->Write(report);
    if (warn && !result.ok) {
        Logger::Instance().Log(LogLevel::Warn,
                               Concat("HID sim_status write failed for ", device.name,
                                      " (err=", std::to_string(result.error), ")"));
    }
    TraceOut("sim_status", device, result.bytes, report);
}

unsigned HidManager::SendTelemetry(const TelemetryProtocol::Values& values,
                                   std::uint16_t sequence) {
    const HidProtocol::Report pages[TelemetryProtocol::kPageCount] = {
        TelemetryProtocol::EncodeTelemetryReport(values, 0, sequence),
        TelemetryProtocol::EncodeTelemetryReport(values, 1, sequence),
    };
    unsigned count = 0;
    for (const auto& panel : Writable(true)) {
        Device& device = *panel;
        std::lock_guard<std::mutex> writing(device.writeMutex);
        if (!device.writeHandle) {
            continue;
        }
        bool complete = true;
        for (const HidProtocol::Report& page : pages) {
            const HidTransfer result = device.writeHandle->Write(page);
            if (!result.ok || result.bytes < page.size()) {
                Logger::Instance().Log(LogLevel::Warn,
                                       Concat("HID telemetry write failed for ", device.name,
                                              " error=", std::to_string(result.error)));
                complete = false;
                break;  // a panel without page 0 gets no page 1 either
            }
            TraceOut("telemetry", device, result.bytes, page);
        }
        if (complete) {
            ++count;
        }
    }
    return count;
}

std::shared_ptr<HidManager::Device> HidManager::FindDevice(const std::string& name, int index) {
    if (!name.empty()) {
        for (const auto& entry : devices_) {
            if (entry.second->name == name) {
                return entry.second;
            }
        }
    }
    if (index >= 0) {
        for (const auto& entry : devices_) {
            if (entry.second->index == static_cast<std::uint32_t>(index)) {
                return entry.second;
            }
        }
    }
    return nullptr;
}

bool HidManager::SendLedState(const std::string& name, int index,
                              const HidProtocol::LedState& state) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        device = FindDevice(name, index);
    }
    if (device == nullptr || device->touchPanel || !device->writable) {
        return false;
    }
    const HidProtocol::Report report = HidProtocol::EncodeLedControlReport(state);
    std::lock_guard<std::mutex> writing(device->writeMutex);
    {
        // Remembered even after a failure: the same state is not retried until it changes or
        // is invalidated, so a board that refuses LED commands does not flood the log. An
        // invalidation during the write below makes the next call write again.
        std::lock_guard<std::mutex> lock(memoryMutex_);
        if (device->hasLastLed && report == device->lastLed) {
            return true;
        }
        device->lastLed = report;
        device->hasLastLed = true;
    }
    if (!device->writeHandle) {
        return true;  // closed by a scan meanwhile; as good as a write to a board just gone
    }
    const HidTransfer result = device->writeHandle->Write(report);
    if (!result.ok) {
        Logger::Instance().Log(LogLevel::Warn, Concat("HID led_ctl write failed for ", device->name,
                                                      " (err=", std::to_string(result.error), ")"));
    }
    TraceOut("led_ctl", *device, result.bytes, report);
    return true;
}

void HidManager::InvalidateLedState(const std::string& name, int index) {
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        device = FindDevice(name, index);
    }
    if (device != nullptr) {
        std::lock_guard<std::mutex> lock(memoryMutex_);
        device->hasLastLed = false;
    }
}

void HidManager::SendBootsel() {
    const HidProtocol::Report report = HidProtocol::EncodeBootselReport();
    if (trace_.load()) {
        Logger::Instance().Debug(
            Concat("HID OUT device_ctl action=", std::to_string(HidProtocol::kDeviceControlBootsel),
                   " data=", HexBytes(report.data(), report.size())));
    }
    bool accepted = false;
    // Every board is asked, also after one accepted: a cockpit may have several to update.
    for (const auto& board : Writable(false)) {
        Device& device = *board;
        std::lock_guard<std::mutex> writing(device.writeMutex);
        if (!device.writeHandle) {
            continue;
        }
        const HidTransfer written = device.writeHandle->Write(report);
        if (written.ok && written.bytes == report.size()) {
            Logger::Instance().Log(
                LogLevel::Info, Concat("BOOTSEL command sent to ", device.name, " via WriteFile"));
            accepted = true;
            continue;
        }
        // Some boards take output reports only over the control pipe.
        const HidTransfer set = device.writeHandle->SetOutputReport(report);
        if (set.ok) {
            Logger::Instance().Log(LogLevel::Info, Concat("BOOTSEL command sent to ", device.name,
                                                          " via HidD_SetOutputReport"));
            accepted = true;
            continue;
        }
        Logger::Instance().Log(
            LogLevel::Warn, Concat("Failed to send BOOTSEL command to ", device.name,
                                   " (WriteFile err=", std::to_string(written.error),
                                   ", bytes=", std::to_string(written.bytes),
                                   ", HidD_SetOutputReport err=", std::to_string(set.error), ")"));
    }
    if (!accepted) {
        Logger::Instance().Log(LogLevel::Warn, "No HID device accepted BOOTSEL command");
    }
}

}  // namespace tarnwick
