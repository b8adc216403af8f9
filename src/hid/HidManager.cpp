#include "hid/HidManager.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "config/TextNormalize.h"
#include "hid/HidLogText.h"
#include "hid/HidManagerDevice.h"
#include "log/Logger.h"
#include "platform/Threads.h"

namespace tarnwick {

using hidtext::Concat;
using hidtext::HexBytes;

namespace {

constexpr const char* kDefaultRole = "g1000";

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool ParseHexId(std::string_view text, std::uint16_t& id) {
    std::size_t pos = 0;
    while (pos < text.size() && IsCSpace(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // "0x" counts as a prefix only when a digit follows; otherwise the 0 is the number.
    if (pos + 2 < text.size() && text[pos] == '0' &&
        (text[pos + 1] == 'x' || text[pos + 1] == 'X') && HexDigitValue(text[pos + 2]) >= 0) {
        pos += 2;
    }
    std::uint32_t value = 0;
    bool anyDigit = false;
    bool tooLarge = false;
    for (; pos < text.size(); ++pos) {
        const int digit = HexDigitValue(text[pos]);
        if (digit < 0) {
            break;
        }
        anyDigit = true;
        value = value * 16 + static_cast<std::uint32_t>(digit);
        if (value > 0xFFFF) {
            tooLarge = true;
            value = 0x10000;  // stays too large without overflowing
        }
    }
    // A negated non-zero value wraps around to a huge unsigned number, as in the C library.
    if (!anyDigit || tooLarge || (negative && value != 0)) {
        return false;
    }
    id = static_cast<std::uint16_t>(value);
    return true;
}

HidManagerSettings HidManagerSettings::FromConfig(const AppConfig& config) {
    HidManagerSettings settings;
    settings.vid = config.vid;
    settings.pid = config.pid;
    settings.devices = config.devices;
    settings.readIntervalMs = config.readIntervalMs;
    settings.scanIntervalMs = config.scanIntervalMs;
    return settings;
}

HidManager::HidManager(HidBackend& backend) : HidManager(backend, Options{}) {}

HidManager::HidManager(HidBackend& backend, Options options)
    : backend_(backend), options_(options) {}

HidManager::~HidManager() {
    Stop();
}

void HidManager::SetSettingsCallback(SettingsCallback callback) {
    auto slot = callback ? std::make_shared<const SettingsCallback>(std::move(callback)) : nullptr;
    std::lock_guard<std::mutex> lock(configMutex_);
    settingsCallback_ = std::move(slot);
}

void HidManager::SetTrace(bool enabled) {
    trace_.store(enabled);
}

bool HidManager::Start(const HidManagerSettings& settings, EventCallback eventCallback,
                       std::string& errorText) {
    if (running_.load()) {
        return true;
    }
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    if (!ParseHexId(settings.vid, vid) || !ParseHexId(settings.pid, pid)) {
        errorText = "Invalid VID/PID";
        return false;
    }

    // The targets never change during a run, so they are worked out once here.
    auto targets = std::make_shared<std::vector<Target>>();
    for (const HidDeviceConfig& entry : settings.devices) {
        Target target;
        if (ParseHexId(entry.vid, target.vendorId) && ParseHexId(entry.pid, target.productId)) {
            target.role = entry.role.empty() ? kDefaultRole : entry.role;
            targets->push_back(std::move(target));
        }
    }
    if (settings.devices.empty()) {
        targets->push_back(Target{vid, pid, kDefaultRole});
    }
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        settings_ = settings;
        targets_ = std::move(targets);
        eventCallback_ = eventCallback
                             ? std::make_shared<const EventCallback>(std::move(eventCallback))
                             : nullptr;
    }

    running_.store(true);
    Scan();
    scanThread_ = std::thread(&HidManager::ScanLoop, this);
    return true;
}

void HidManager::Stop() {
    if (!running_.exchange(false)) {
        return;
    }
    {
        // Taking the pause's mutex orders the flag change before the scanner's predicate check,
        // so the notification cannot fall between its check and its wait.
        std::lock_guard<std::mutex> lock(scanMutex_);
    }
    scanWake_.notify_all();
    if (scanThread_.joinable()) {
        scanThread_.join();
    }

    std::vector<std::unique_ptr<Device>> open;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        for (auto& entry : devices_) {
            open.push_back(std::move(entry.second));
        }
        devices_.clear();
    }
    // Wake every reader first, then join them one by one: the devices close in parallel.
    for (auto& device : open) {
        device->running.store(false);
        device->readHandle->CancelRead();
    }
    for (auto& device : open) {
        Disconnect(*device);
    }

    std::lock_guard<std::mutex> lock(probeMutex_);
    probeCache_.clear();
}

void HidManager::ScanLoop() {
    std::int32_t intervalMs = 0;
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        intervalMs = settings_.scanIntervalMs;
    }
    // Start has just scanned on its own thread, so the loop pauses before its first scan.
    while (running_.load()) {
        if (intervalMs > 0) {
            // Wake path: Stop clears running_ and notifies scanWake_.
            std::unique_lock<std::mutex> lock(scanMutex_);
            if (scanWake_.wait_for(lock, std::chrono::milliseconds(intervalMs),
                                   [this] { return !running_.load(); })) {
                return;
            }
        }
        try {
            Scan();
        } catch (const std::exception& e) {
            // No caller to hand it to on this thread; the next scan tries again.
            Logger::Instance().Log(LogLevel::Error, Concat("HID scan failed: ", e.what()));
        }
    }
}

std::vector<HidManager::MatchedPath> HidManager::FindMatchingPaths() {
    std::shared_ptr<const std::vector<Target>> targets;
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        targets = targets_;
    }
    std::vector<MatchedPath> matched;
    if (!targets || targets->empty()) {
        return matched;
    }

    const std::vector<std::string> paths = backend_.EnumerateInterfaces();

    // Identity per path: from the cache, else from a probe made without any lock held.
    std::vector<HidAttributes> attributes(paths.size());
    std::vector<bool> known(paths.size(), false);
    std::vector<std::size_t> unknown;
    {
        std::lock_guard<std::mutex> lock(probeMutex_);
        if (probeCache_.size() > 0) {
            // Forget paths that are gone: a device that comes back is probed afresh.
            std::unordered_set<std::string_view> present(paths.begin(), paths.end());
            for (auto it = probeCache_.begin(); it != probeCache_.end();) {
                it = present.count(it->first) != 0 ? std::next(it) : probeCache_.erase(it);
            }
        }
        for (std::size_t i = 0; i < paths.size(); ++i) {
            auto it = probeCache_.find(paths[i]);
            if (it != probeCache_.end()) {
                attributes[i] = it->second;
                known[i] = true;
            } else {
                unknown.push_back(i);
            }
        }
    }
    if (!unknown.empty()) {
        std::vector<std::size_t> learned;
        for (std::size_t i : unknown) {
            std::unique_ptr<HidHandle> probe = backend_.Open(paths[i], HidOpenPurpose::Probe);
            // A path that cannot be opened or identified learns nothing: it is tried again at
            // the next scan, as a device that was busy or not ready may answer then.
            if (probe && probe->GetAttributes(attributes[i])) {
                known[i] = true;
                learned.push_back(i);
            }
        }
        std::lock_guard<std::mutex> lock(probeMutex_);
        for (std::size_t i : learned) {
            probeCache_.insert_or_assign(paths[i], attributes[i]);
        }
    }

    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!known[i]) {
            continue;
        }
        for (const Target& target : *targets) {
            if (target.vendorId == attributes[i].vendorId &&
                target.productId == attributes[i].productId) {
                matched.push_back(MatchedPath{paths[i], target.role});
                break;
            }
        }
    }
    return matched;
}

void HidManager::Scan() {
    if (!running_.load()) {
        return;
    }
    bool haveTargets = false;
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        haveTargets = targets_ && !targets_->empty();
    }
    if (!haveTargets) {
        return;
    }
    const std::vector<MatchedPath> matched = FindMatchingPaths();
    auto isMatched = [&matched](const std::string& path) {
        return std::any_of(matched.begin(), matched.end(),
                           [&path](const MatchedPath& m) { return m.path == path; });
    };

    // Devices that are gone leave the table under the lock and are closed after it, so that a
    // reader inside a callback that writes to a device can finish while we join it.
    std::vector<std::unique_ptr<Device>> gone;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        // Checked under the lock: a scan racing Stop never opens devices that Stop has not seen.
        if (!running_.load()) {
            return;
        }
        for (auto it = devices_.begin(); it != devices_.end();) {
            if (isMatched(it->first)) {
                ++it;
            } else {
                gone.push_back(std::move(it->second));
                it = devices_.erase(it);
            }
        }
    }
    for (auto& device : gone) {
        device->running.store(false);
        device->readHandle->CancelRead();
        Disconnect(*device);
    }

    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (!running_.load()) {
        return;
    }
    for (const MatchedPath& match : matched) {
        if (devices_.count(match.path) != 0) {
            continue;
        }
        std::unique_ptr<Device> device = Connect(match.path, match.role);
        if (device) {
            devices_.emplace(match.path, std::move(device));
        }
    }
}

std::unique_ptr<HidManager::Device> HidManager::Connect(const std::string& path,
                                                        const std::string& role) {
    auto device = std::make_unique<Device>();
    device->path = path;
    device->role = role.empty() ? kDefaultRole : role;
    device->touchPanel = device->role == kTouchPanelRole;

    device->readHandle = backend_.Open(path, HidOpenPurpose::Read);
    if (!device->readHandle) {
        Logger::Instance().Log(LogLevel::Warn, Concat("Failed to open HID device: ", path));
        return nullptr;
    }
    device->writeHandle = backend_.Open(path, HidOpenPurpose::Write);
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
        std::string ignored;
        HidProtocol::Report answer{};
        answer[0] = static_cast<std::uint8_t>(HidProtocol::ReportId::DeviceInfo);
        if (device->readHandle->GetFeature(answer) &&
            HidProtocol::DecodeDeviceInfoReport(answer, device->info, ignored)) {
            device->hasInfo = true;
            device->name = HidProtocol::FormatBoardId(device->info);
        }
        answer.fill(0);
        answer[0] = static_cast<std::uint8_t>(HidProtocol::ReportId::ProtocolInfo);
        HidProtocol::ProtocolInfo protocol;
        if (device->readHandle->GetFeature(answer) &&
            HidProtocol::DecodeProtocolInfoReport(answer, protocol, ignored)) {
            device->protocol = protocol;
            device->hasProtocolInfo = true;
        }
    }

    device->index = nextIndex_.fetch_add(1);
    Logger::Instance().Log(LogLevel::Info,
                           Concat("HID device connected: ", device->name, " index=",
                                  std::to_string(device->index), " role=", device->role, " fw=",
                                  device->hasInfo ? HidProtocol::FormatFirmwareVersion(device->info)
                                                  : std::string("unknown")));
    if (device->hasProtocolInfo) {
        Logger::Instance().Debug(Concat("HID protocol info: device=", device->name,
                                        " proto=", std::to_string(device->protocol.major), ".",
                                        std::to_string(device->protocol.minor), " flags=0x",
                                        HexBytes(&device->protocol.flags, 1)));
    }

    // A board that comes late learns the simulator state that the others already have.
    if (!device->touchPanel && device->writeHandle && hasSimStatus_) {
        const HidTransfer result = device->writeHandle->Write(lastSimStatus_);
        TraceOut("sim_status", *device, result.bytes, lastSimStatus_);
    }

    {
        std::lock_guard<std::mutex> lock(configMutex_);
        device->eventCallback = eventCallback_;
        device->settingsCallback = settingsCallback_;
    }
    device->running.store(true);
    device->reader = std::thread(&HidManager::ReaderLoop, this, std::ref(*device));
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
    device.writeHandle.reset();
    Logger::Instance().Log(LogLevel::Info, Concat("HID device disconnected: ", device.name));
}

void HidManager::ReaderLoop(Device& device) {
    platform::RaiseCurrentThreadPriority();  // on a button press's way to the simulator
    HidProtocol::Report buffer{};
    std::string ignored;
    // Wake path: Disconnect clears running and cancels the pending read.
    while (device.running.load()) {
        const HidReadResult result = device.readHandle->Read(buffer, options_.readWaitSlice);
        if (result.status == HidReadStatus::TimedOut) {
            continue;  // the read stays pending; a report arriving now is not lost
        }
        if (result.status != HidReadStatus::Completed) {
            break;  // unplugged, failed or cancelled; the next scan that misses it disconnects
        }
        const std::size_t count = std::min(result.bytes, buffer.size());
        if (count == 0) {
            continue;
        }
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
            if (HidProtocol::DecodeInputReport(buffer.data(), count, event, ignored) &&
                device.eventCallback) {
                (*device.eventCallback)(event, device.name, static_cast<int>(device.index));
            }
        }
    }
}

void HidManager::TraceOut(const char* kind, const Device& device, std::size_t bytes,
                          const HidProtocol::Report& report) const {
    if (!trace_.load()) {
        return;
    }
    Logger::Instance().Debug(Concat("HID OUT ", kind, " device=", device.name,
                                    " bytes=", std::to_string(bytes),
                                    " data=", HexBytes(report.data(), report.size())));
}

bool HidManager::HasDevices() {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    return !devices_.empty();
}

std::vector<HidDeviceEntry> HidManager::ListDevices() {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    std::vector<HidDeviceEntry> list;
    list.reserve(devices_.size());
    for (const auto& entry : devices_) {
        list.push_back(HidDeviceEntry{entry.second->name, static_cast<int>(entry.second->index)});
    }
    return list;
}

unsigned HidManager::CountTouchPanels() {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    unsigned count = 0;
    for (const auto& entry : devices_) {
        if (entry.second->touchPanel) {
            ++count;
        }
    }
    return count;
}

}  // namespace tarnwick
