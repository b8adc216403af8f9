// One device's life in the manager: opening it and asking who it is, its reader thread, a failed
// read, and closing it. The scan decides when; these run on the scanner's thread, apart from the
// reader loop, which is the device's own thread.
#include <algorithm>
#include <string>
#include <utility>

#include "hid/HidLogText.h"
#include "hid/HidManager.h"
#include "hid/HidManagerDevice.h"
#include "log/Logger.h"
#include "platform/Result.h"
#include "platform/Threads.h"

namespace tarnwick {

using hidtext::Concat;
using hidtext::HexBytes;

std::shared_ptr<HidManager::Device> HidManager::Connect(const std::string& path, PanelRole role,
                                                        bool afterReadError) {
    auto device = std::make_shared<Device>();
    device->path = path;
    device->role = role == PanelRole::TouchPanel ? role : PanelRole::G1000;
    device->touchPanel = device->role == PanelRole::TouchPanel;
    device->afterReadError = afterReadError;

    device->readHandle = backend_.Open(path, HidOpenPurpose::Read);
    if (!device->readHandle) {
        // Tried again at every scan, but said once while the path stays.
        bool warn = true;
        {
            std::lock_guard<std::mutex> lock(probeMutex_);
            auto it = probeCache_.find(path);
            if (it != probeCache_.end()) {
                warn = !std::exchange(it->second.openWarned, true);
            }
        }
        if (warn) {
            Logger::Instance().Log(LogLevel::Warn, Concat("Failed to open HID device: ", path));
        }
        return nullptr;
    }
    device->writeHandle = backend_.Open(path, HidOpenPurpose::Write);
    device->writable = device->writeHandle != nullptr;
    if (!device->writeHandle) {
        Logger::Instance().Log(
            LogLevel::Warn, Concat("Failed to open HID write handle; output disabled for: ", path));
    }

    std::string serial;
    if (device->readHandle->GetSerialNumber(serial)) {
        device->serial = std::move(serial);
    }
    device->name = device->serial.empty() ? path : device->serial;
    if (!device->touchPanel) {
        HidProtocol::Report answer{};
        answer[0] = static_cast<std::uint8_t>(HidProtocol::ReportId::DeviceInfo);
        if (device->readHandle->GetFeature(answer) &&
            HidProtocol::DecodeDeviceInfoReport(answer, device->info)) {
            device->hasInfo = true;
            device->name = HidProtocol::FormatBoardId(device->info);
        }
        answer.fill(0);
        answer[0] = static_cast<std::uint8_t>(HidProtocol::ReportId::ProtocolInfo);
        HidProtocol::ProtocolInfo protocol;
        if (device->readHandle->GetFeature(answer) &&
            HidProtocol::DecodeProtocolInfoReport(answer, protocol)) {
            device->protocol = protocol;
            device->hasProtocolInfo = true;
        }
    }

    device->index = nextIndex_.fetch_add(1);
    Logger::Instance().Log(
        LogLevel::Info,
        Concat("HID device connected: ", device->name, " index=", std::to_string(device->index),
               " role=", PanelRoleName(device->role), " fw=",
               device->hasInfo ? HidProtocol::FormatFirmwareVersion(device->info)
                               : std::string("unknown")));
    if (device->hasProtocolInfo) {
        Logger::Instance().Debug(Concat("HID protocol info: device=", device->name,
                                        " proto=", std::to_string(device->protocol.major), ".",
                                        std::to_string(device->protocol.minor), " flags=0x",
                                        HexBytes(&device->protocol.flags, 1)));
    }
    // Firmware built for other report sizes would otherwise fail or be cut without a word.
    HidReportLengths lengths;
    if (device->readHandle->GetReportLengths(lengths) &&
        (lengths.input != kProtocolReportLength || lengths.output != kProtocolReportLength ||
         (!device->touchPanel && lengths.feature != kProtocolReportLength))) {
        Logger::Instance().Log(LogLevel::Warn, Concat("HID report lengths of ", device->name,
                                                      " are in=", std::to_string(lengths.input),
                                                      " out=", std::to_string(lengths.output),
                                                      " feature=", std::to_string(lengths.feature),
                                                      ", not 32; reports are cut or padded"));
    }

    {
        std::lock_guard<std::mutex> lock(configMutex_);
        device->eventCallback = eventCallback_;
        device->settingsCallback = settingsCallback_;
    }
    device->running.store(true);
    const Result started = StartThread(device->reader, "HID reader",
                                       [this, reader = device.get()] { ReaderLoop(*reader); });
    if (!started) {
        // A device nobody reads is closed like any other; the next scan opens it again.
        Logger::Instance().Log(LogLevel::Error, started.Error());
        device->running.store(false);
        Disconnect(*device);
        return nullptr;
    }
    return device;
}

void HidManager::Disconnect(Device& device) {
    device.running.store(false);
    if (device.readHandle) {
        device.readHandle->CancelRead();
    }
    if (device.reader.joinable()) {
        device.reader.join();
    }
    device.readHandle.reset();
    {
        // A write in progress is not waited for: its writer holds the device and closes the
        // handle when it lets go.
        std::unique_lock<std::mutex> writing(device.writeMutex, std::try_to_lock);
        if (writing.owns_lock()) {
            device.writeHandle.reset();
        }
    }
    Logger::Instance().Log(LogLevel::Info, Concat("HID device disconnected: ", device.name));
}

void HidManager::ReaderLoop(Device& device) {
    platform::NameCurrentThread("tw-hid-read");
    platform::RaiseCurrentThreadPriority();  // on a button press's way to the simulator
    HidProtocol::Report buffer{};
    bool delivered = false;
    // Wake path: Disconnect clears running and cancels the pending read.
    while (device.running.load()) {
        const HidReadResult result = device.readHandle->Read(buffer, options_.readWaitSlice);
        if (result.status == HidReadStatus::TimedOut) {
            continue;  // the read stays pending; a report arriving now is not lost
        }
        if (result.status == HidReadStatus::Failed) {
            OnReadFailed(device, result, delivered);
        }
        if (result.status != HidReadStatus::Completed) {
            break;  // failed or cancelled
        }
        const std::size_t count = std::min(result.bytes, buffer.size());
        if (count == 0) {
            continue;
        }
        delivered = true;
        if (trace_.load()) {
            Logger::Instance().Debug(Concat("HID IN device=", device.name,
                                            " bytes=", std::to_string(count),
                                            " data=", HexBytes(buffer.data(), count)));
        }
        if (device.touchPanel) {
            TelemetryProtocol::Settings settings;
            if (TelemetryProtocol::DecodeSettingsReport(buffer.data(), count, settings) &&
                device.settingsCallback) {
                (*device.settingsCallback)(settings, device.name);
            }
        } else {
            HidProtocol::HidEvent event;
            if (HidProtocol::DecodeInputReport(buffer.data(), count, event) &&
                device.eventCallback) {
                (*device.eventCallback)(event, device.name, static_cast<int>(device.index));
            }
        }
    }
}

void HidManager::OnReadFailed(Device& device, const HidReadResult& result, bool delivered) {
    if (!device.running.load()) {
        return;  // being closed anyway
    }
    // The reader cannot join itself: it marks the device and leaves it to a scan, which drops
    // it and opens the path again if it is still there.
    device.readFailed.store(true);
    if (result.error == HidError::kDeviceNotConnected) {
        // Unplugged, or replugged so fast that the path stayed: the next scan tells which.
        return;
    }
    Logger::Instance().Log(LogLevel::Warn, Concat("HID read failed for ", device.name, " (err=",
                                                  std::to_string(result.error), "); reconnecting"));
    // At once, unless the device was just reopened after a failure and has not read a single
    // report since: then the periodic scan retries it, rather than a reconnect loop.
    if (!device.afterReadError || delivered) {
        RequestScan();
    }
}

}  // namespace tarnwick
