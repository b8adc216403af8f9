#include "hid/HidManager.h"

#include <algorithm>
#include <exception>
#include <set>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "hid/HidLogText.h"
#include "hid/HidManagerDevice.h"
#include "log/Logger.h"
#include "platform/Threads.h"

namespace tarnwick {

using hidtext::Concat;
using hidtext::HexBytes;

namespace {

// Below this the scanner would enumerate the system's devices almost without pause.
constexpr std::int32_t kMinScanIntervalMs = 100;

}  // namespace

HidManager::HidManager(HidBackend& backend, const Clock& clock)
    : HidManager(backend, Options{}, clock) {}

HidManager::HidManager(HidBackend& backend, Options options, const Clock& clock)
    : backend_(backend), options_(options), clock_(clock) {}

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

std::vector<HidManager::Target> HidManager::TargetsOf(const HidManagerSettings& settings) {
    std::vector<Target> targets;
    for (const HidDeviceTarget& entry : settings.devices) {
        if (entry.vendorId && entry.productId) {
            targets.push_back(Target{*entry.vendorId, *entry.productId, entry.role});
        }
    }
    if (settings.devices.empty() && settings.vendorId && settings.productId) {
        targets.push_back(Target{*settings.vendorId, *settings.productId, PanelRole::G1000});
    }
    return targets;
}

std::optional<PanelRole> TargetRoleFor(const HidManagerSettings& settings, std::uint16_t vendorId,
                                       std::uint16_t productId) {
    for (const HidManager::Target& target : HidManager::TargetsOf(settings)) {
        if (target.vendorId == vendorId && target.productId == productId) {
            return target.role;
        }
    }
    return std::nullopt;
}

Result HidManager::Start(const HidManagerSettings& settings, EventCallback eventCallback) {
    if (running_.load()) {
        return Result::Failure("HID manager already running");
    }
    if (!settings.vendorId || !settings.productId) {
        return Result::Failure("Invalid VID/PID");
    }

    // The targets never change during a run, so they are worked out once here.
    auto targets = std::make_shared<std::vector<Target>>(TargetsOf(settings));
    HidManagerSettings copy = settings;
    if (copy.scanIntervalMs < kMinScanIntervalMs) {
        Logger::Instance().Log(LogLevel::Warn,
                               Concat("hid.scanIntervalMs ", std::to_string(copy.scanIntervalMs),
                                      " is below 100; using 100"));
        copy.scanIntervalMs = kMinScanIntervalMs;
    }
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        settings_ = std::move(copy);
        targets_ = std::move(targets);
        eventCallback_ = eventCallback
                             ? std::make_shared<const EventCallback>(std::move(eventCallback))
                             : nullptr;
    }

    running_.store(true);
    Scan();
    Result started = StartThread(scanThread_, "HID scanner", [this] { ScanLoop(); });
    if (!started) {
        running_.store(false);
        CloseAll();
    }
    return started;
}

void HidManager::Stop() {
    if (!running_.exchange(false)) {
        return;
    }
    {
        // Taking the pause's mutex orders the flag change before the scanner's predicate check,
        // so the notification cannot fall between its check and its wait.
        std::lock_guard<std::mutex> lock(scanMutex_);
        scanRequested_ = false;
    }
    scanWake_.notify_all();
    if (scanThread_.joinable()) {
        scanThread_.join();
    }
    CloseAll();
}

void HidManager::CloseAll() {
    std::vector<std::shared_ptr<Device>> open;
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

void HidManager::RequestScan() {
    {
        std::lock_guard<std::mutex> lock(scanMutex_);
        if (!running_.load()) {
            return;
        }
        scanRequested_ = true;
    }
    scanWake_.notify_all();
}

void HidManager::ScanLoop() {
    platform::NameCurrentThread("tw-hid-scan");
    std::int32_t intervalMs = 0;
    {
        std::lock_guard<std::mutex> lock(configMutex_);
        intervalMs = settings_.scanIntervalMs;
    }
    // Start has just scanned on its own thread, so the loop pauses before its first scan.
    while (running_.load()) {
        {
            // Wake path: Stop clears running_ and notifies scanWake_; RequestScan notifies it
            // for a scan at once.
            std::unique_lock<std::mutex> lock(scanMutex_);
            const Clock::TimePoint due = clock_.Now() + std::chrono::milliseconds(intervalMs);
            while (running_.load() && !scanRequested_ && clock_.Now() < due) {
                clock_.WaitUntil(scanWake_, lock, due);
            }
            if (!running_.load()) {
                return;
            }
            scanRequested_ = false;
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
            if (it == probeCache_.end()) {
                unknown.push_back(i);
            } else if (it->second.identified) {
                attributes[i] = it->second.attributes;
                known[i] = true;
            }
        }
    }
    if (!unknown.empty()) {
        std::vector<ProbeEntry> learned(unknown.size());
        for (std::size_t k = 0; k < unknown.size(); ++k) {
            const std::size_t i = unknown[k];
            // The probe asks for no access rights, so it opens whatever the system holds. One
            // that fails even so is remembered as well, and not retried while the path stays.
            std::unique_ptr<HidHandle> probe = backend_.Open(paths[i], HidOpenPurpose::Probe);
            if (probe && probe->GetAttributes(attributes[i])) {
                known[i] = true;
                learned[k].identified = true;
                learned[k].attributes = attributes[i];
            }
        }
        std::lock_guard<std::mutex> lock(probeMutex_);
        for (std::size_t k = 0; k < unknown.size(); ++k) {
            probeCache_.try_emplace(paths[unknown[k]], learned[k]);
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

    // Devices that are gone, or whose reader ended on a failed read, leave the table under the
    // lock and are closed after it, so that a reader inside a callback that writes to a device
    // can finish while we join it. A failed one whose path is still here is opened again below.
    std::vector<std::shared_ptr<Device>> gone;
    std::set<std::string> failedPaths;
    std::vector<MatchedPath> fresh;
    {
        std::lock_guard<std::mutex> lock(deviceMutex_);
        // Checked under the lock: a scan racing Stop never opens devices that Stop has not seen.
        if (!running_.load()) {
            return;
        }
        for (auto it = devices_.begin(); it != devices_.end();) {
            if (isMatched(it->first) && !it->second->readFailed.load()) {
                ++it;
            } else {
                if (it->second->readFailed.load()) {
                    failedPaths.insert(it->first);
                }
                gone.push_back(std::move(it->second));
                it = devices_.erase(it);
            }
        }
        // Claimed under the lock, so that two scans never open the same path twice.
        for (const MatchedPath& match : matched) {
            if (devices_.count(match.path) == 0 && connecting_.insert(match.path).second) {
                fresh.push_back(match);
            }
        }
    }
    for (auto& device : gone) {
        device->running.store(false);
        device->readHandle->CancelRead();
        Disconnect(*device);
    }

    // Opening and naming talk to the device, so they run without the table lock.
    for (const MatchedPath& match : fresh) {
        std::shared_ptr<Device> device;
        try {
            device = Connect(match.path, match.role, failedPaths.count(match.path) != 0);
        } catch (...) {
            std::lock_guard<std::mutex> lock(deviceMutex_);
            connecting_.erase(match.path);
            throw;
        }
        bool stopped = false;
        {
            std::lock_guard<std::mutex> lock(deviceMutex_);
            connecting_.erase(match.path);
            stopped = !running_.load();
            if (device && !stopped) {
                devices_.emplace(match.path, device);
            }
        }
        if (device && stopped) {
            // Stop has taken the table already; this one is closed here.
            Disconnect(*device);
            continue;
        }
        // A board that comes late learns the simulator state that the others already have.
        // Done once it is in the table, so that a state change meanwhile reaches it either way.
        if (device && !device->touchPanel && device->writable) {
            PushSimStatus(*device, false);
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
