// The manager's output operations: which devices receive which report, repeat suppression, and
// the messages of failed writes. Every operation holds deviceMutex_ from start to end, so a
// device cannot be closed while it is written to and writes never interleave.
#include <string>

#include "hid/HidLogText.h"
#include "hid/HidManager.h"
#include "hid/HidManagerDevice.h"
#include "log/Logger.h"

namespace tarnwick {

using hidtext::Concat;
using hidtext::HexBytes;

void HidManager::SendSimStatus(bool connected) {
    const HidProtocol::Report report = HidProtocol::EncodeSimStatusReport(connected);
    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (hasSimStatus_ && report == lastSimStatus_) {
        return;
    }
    // Remembered before writing: boards that connect later receive it from Connect.
    lastSimStatus_ = report;
    hasSimStatus_ = true;
    for (const auto& entry : devices_) {
        Device& device = *entry.second;
        if (device.touchPanel || !device.writeHandle) {
            continue;
        }
        const HidTransfer result = device.writeHandle->Write(report);
        if (!result.ok) {
            Logger::Instance().Log(LogLevel::Warn,
                                   Concat("HID sim_status write failed for ", device.name,
                                          " (err=", std::to_string(result.error), ")"));
        }
        TraceOut("sim_status", device, result.bytes, report);
    }
}

unsigned HidManager::SendTelemetry(const TelemetryProtocol::Values& values,
                                   std::uint16_t sequence) {
    const HidProtocol::Report pages[TelemetryProtocol::kPageCount] = {
        TelemetryProtocol::EncodeTelemetryReport(values, 0, sequence),
        TelemetryProtocol::EncodeTelemetryReport(values, 1, sequence),
    };
    std::lock_guard<std::mutex> lock(deviceMutex_);
    unsigned count = 0;
    for (const auto& entry : devices_) {
        Device& device = *entry.second;
        if (!device.touchPanel || !device.writeHandle) {
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

HidManager::Device* HidManager::FindDevice(const std::string& name, int index) {
    if (!name.empty()) {
        for (const auto& entry : devices_) {
            if (entry.second->name == name) {
                return entry.second.get();
            }
        }
    }
    if (index >= 0) {
        for (const auto& entry : devices_) {
            if (entry.second->index == static_cast<std::uint32_t>(index)) {
                return entry.second.get();
            }
        }
    }
    return nullptr;
}

bool HidManager::SendLedState(const std::string& name, int index,
                              const HidProtocol::LedState& state) {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    Device* device = FindDevice(name, index);
    if (device == nullptr || device->touchPanel || !device->writeHandle) {
        return false;
    }
    const HidProtocol::Report report = HidProtocol::EncodeLedControlReport(state);
    if (device->hasLastLed && report == device->lastLed) {
        return true;
    }
    const HidTransfer result = device->writeHandle->Write(report);
    if (!result.ok) {
        Logger::Instance().Log(LogLevel::Warn, Concat("HID led_ctl write failed for ", device->name,
                                                      " (err=", std::to_string(result.error), ")"));
    }
    // Remembered even after a failure: the same state is not retried until it changes or is
    // invalidated, so a board that refuses LED commands does not flood the log.
    device->lastLed = report;
    device->hasLastLed = true;
    TraceOut("led_ctl", *device, result.bytes, report);
    return true;
}

void HidManager::InvalidateLedState(const std::string& name, int index) {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (Device* device = FindDevice(name, index)) {
        device->hasLastLed = false;
    }
}

void HidManager::SendBootsel() {
    const HidProtocol::Report report = HidProtocol::EncodeBootselReport();
    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (trace_.load()) {
        Logger::Instance().Debug(
            Concat("HID OUT device_ctl action=", std::to_string(HidProtocol::kDeviceControlBootsel),
                   " data=", HexBytes(report.data(), report.size())));
    }
    bool accepted = false;
    // Every board is asked, also after one accepted: a cockpit may have several to update.
    for (const auto& entry : devices_) {
        Device& device = *entry.second;
        if (device.touchPanel || !device.writeHandle) {
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
