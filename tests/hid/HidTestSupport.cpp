#include "HidTestSupport.h"

namespace tarnwick::test {

HidProtocol::DeviceInfo MakeInfo(std::uint8_t firstIdByte, std::uint8_t major, std::uint8_t minor,
                                 std::uint8_t patch) {
    HidProtocol::DeviceInfo info;
    info.firmwareMajor = major;
    info.firmwareMinor = minor;
    info.firmwarePatch = patch;
    info.boardId = {firstIdByte, 0x61, 0x41, 0x03, 0xE7, 0x45, 0x2D, 0x2F};
    return info;
}

HidManagerSettings DefaultSettings(std::int32_t scanIntervalMs) {
    HidManagerSettings settings;
    settings.vendorId = 0x04D8;
    settings.productId = 0xE6B0;
    settings.devices = {HidDeviceTarget{0x04D8, 0xE6B0, PanelRole::G1000},
                        HidDeviceTarget{0x2E8A, 0x10F0, PanelRole::TouchPanel}};
    settings.scanIntervalMs = scanIntervalMs;
    return settings;
}

HidManager::EventCallback EventLog::EventSink() {
    return [this](const HidProtocol::HidEvent& event, const std::string& name, int index) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(Event{event, name, index});
    };
}

HidManager::SettingsCallback EventLog::SettingsSink() {
    return [this](const TelemetryProtocol::Settings& settings, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        settings_.push_back(SettingsRecord{settings, name});
    };
}

std::vector<EventLog::Event> EventLog::Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<EventLog::SettingsRecord> EventLog::Settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

std::size_t EventLog::EventCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

std::size_t EventLog::SettingsCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_.size();
}

void HidManagerFixture::MakeManager(std::chrono::milliseconds slice) {
    HidManager::Options options;
    options.readWaitSlice = slice;
    manager_ = std::make_unique<HidManager>(backend_, options);
}

bool HidManagerFixture::Start(const HidManagerSettings& settings, bool trace) {
    if (!manager_) {
        MakeManager();
    }
    manager_->SetSettingsCallback(events_.SettingsSink());
    manager_->SetTrace(trace);
    std::string error;
    const bool ok = manager_->Start(settings, events_.EventSink(), error);
    lastError_ = error;
    return ok;
}

std::shared_ptr<VirtualHidDevice> HidManagerFixture::PlugBoard(const std::string& path,
                                                               std::uint8_t idByte,
                                                               std::string serial) {
    return backend_.Plug(VirtualPanelBoardSetup(path, kBoardVid, kBoardPid, MakeInfo(idByte),
                                               kProtocol, std::move(serial)));
}

std::shared_ptr<VirtualHidDevice> HidManagerFixture::PlugPlainBoard(const std::string& path,
                                                                    std::string serial) {
    return backend_.Plug(VirtualPanelBoardSetup(path, kBoardVid, kBoardPid, std::nullopt,
                                               std::nullopt, std::move(serial)));
}

std::shared_ptr<VirtualHidDevice> HidManagerFixture::PlugPanel(const std::string& path,
                                                               std::string serial) {
    return backend_.Plug(VirtualTouchPanelSetup(path, kPanelVid, kPanelPid, std::move(serial)));
}

std::shared_ptr<VirtualHidDevice> HidManagerFixture::PlugForeign(const std::string& path) {
    return backend_.Plug(VirtualTouchPanelSetup(path, 0x046D, 0xC52B, "mouse"));
}

}  // namespace tarnwick::test
