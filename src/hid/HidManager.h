// Finds the configured panel boards and touch panels among the system's HID interfaces, opens
// them, reads their input reports on one thread per device and hands every decoded report to the
// program through two callbacks. It keeps the table of open devices that the output operations
// (sim_status, telemetry, LED state, BOOTSEL) write to, and notices devices that come and go by
// a periodic rescan on its own thread and by rescans that device-change notifications trigger.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/PanelRole.h"
#include "hid/HidBackend.h"
#include "hid/HidProtocol.h"
#include "hid/TelemetryProtocol.h"
#include "platform/Clock.h"
#include "platform/Result.h"

namespace tarnwick {

// One kind of device the manager looks for; the first target whose ids match gives the role.
// A target without both ids (config.json accepts ids that are no numbers) is left out.
struct HidDeviceTarget {
    std::optional<std::uint16_t> vendorId;
    std::optional<std::uint16_t> productId;
    PanelRole role = PanelRole::G1000;  // anything but TouchPanel is a panel board
};

// What the manager works with: the device targets and its scan pace.
struct HidManagerSettings {
    std::optional<std::uint16_t> vendorId;  // the fallback target's ids; Start needs both
    std::optional<std::uint16_t> productId;
    std::vector<HidDeviceTarget> devices;  // the targets; empty: the fallback target alone
    std::int32_t scanIntervalMs = 1000;    // pause between periodic scans; at least 100
};

// The role the manager gives an interface with these ids under `settings`: the first target whose
// ids match, as a scan decides; none when it would leave the interface alone.
std::optional<PanelRole> TargetRoleFor(const HidManagerSettings& settings, std::uint16_t vendorId,
                                       std::uint16_t productId);

// One open device as other components address it.
struct HidDeviceEntry {
    std::string name;
    int index = -1;

    friend bool operator==(const HidDeviceEntry&, const HidDeviceEntry&) = default;
};

class HidManager {
public:
    // Called on the device's reader thread, without any manager lock held; concurrently for
    // different devices. The receiver must be thread-safe and should only queue.
    using EventCallback = std::function<void(const HidProtocol::HidEvent& event,
                                             const std::string& deviceName, int deviceIndex)>;
    using SettingsCallback = std::function<void(const TelemetryProtocol::Settings& settings,
                                                const std::string& deviceName)>;

    struct Options {
        // How long one wait of a reader lasts before it looks at its running flag again. Stop
        // does not depend on it (it cancels the pending read); tests shorten it to see many
        // time-outs quickly.
        std::chrono::milliseconds readWaitSlice{1000};
    };

    // `backend` is not owned and must outlive the manager. `clock` paces the periodic scan and
    // runs the scanner's wait; it must outlive the manager too.
    explicit HidManager(HidBackend& backend, const Clock& clock = Clock::Steady());
    HidManager(HidBackend& backend, Options options, const Clock& clock = Clock::Steady());
    ~HidManager();

    HidManager(const HidManager&) = delete;
    HidManager& operator=(const HidManager&) = delete;

    // Both are called before Start; devices opened later pick up the values current then.
    void SetSettingsCallback(SettingsCallback callback);
    void SetTrace(bool enabled);

    // Fails with "HID manager already running", changing nothing, when already running, and
    // with "Invalid VID/PID" when the fallback target's ids do not parse. Otherwise scans once
    // on the calling thread (devices already plugged in are open on return) and starts the
    // periodic scanner. A scan interval below 100 ms is raised to 100 ms with a warning. When
    // the scanner cannot start, the devices just opened are closed again, the manager stays
    // stopped and Start fails with "Failed to start HID scanner: REASON".
    Result Start(const HidManagerSettings& settings, EventCallback eventCallback);

    // Stops the scanner (its pause is interrupted), then disconnects every device in table
    // order. Does nothing when stopped. Not concurrently with Start. Never waits for a write in
    // progress: a device being written to is closed by its last writer.
    void Stop();

    // One rescan: enumerate, identify the interfaces not seen before, disconnect devices that are
    // gone, connect matching ones that are new. Any thread, any time, concurrently with itself;
    // does nothing while the manager is stopped.
    void Scan();
    // Wakes the scanner for a rescan at once and returns: the device-change notification's way
    // in, which must not wait for a scan. Any thread; nothing while stopped.
    void RequestScan();

    // These never wait for a device's input or output.
    bool HasDevices();
    // One entry per open device, in table order (ascending path).
    std::vector<HidDeviceEntry> ListDevices();
    unsigned CountTouchPanels();

    // Output operations. Any thread. Writes to one device are serialised; no table lock is
    // held while writing, so a stalled board holds up only the callers writing to it, for at
    // most kHidWriteTimeout per report, and a scan may drop a device while it is written to.

    // sim_status to every panel board; an unchanged state is not sent again, and the last
    // state is replayed to every panel board that connects later.
    void SendSimStatus(bool connected);
    // Both telemetry pages to every touch panel; the number of panels that took both.
    unsigned SendTelemetry(const TelemetryProtocol::Values& values, std::uint16_t sequence);
    // led_ctl to one panel board, found by name, else by index. False when there is no such
    // board or it cannot be written to. An unchanged state is not written again.
    bool SendLedState(const std::string& name, int index, const HidProtocol::LedState& state);
    // Forgets the board's last LED state, so that the next SendLedState writes in any case.
    void InvalidateLedState(const std::string& name, int index);
    // Asks every panel board to reboot into its boot loader.
    void SendBootsel();

private:
    struct Device;
    struct Target {
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        PanelRole role = PanelRole::G1000;
    };
    struct MatchedPath {
        std::string path;
        PanelRole role;
    };
    friend std::optional<PanelRole> TargetRoleFor(const HidManagerSettings&, std::uint16_t,
                                                  std::uint16_t);
    static std::vector<Target> TargetsOf(const HidManagerSettings& settings);

    void ScanLoop();
    std::vector<MatchedPath> FindMatchingPaths();
    // Opens, names and starts reading; without any lock held (it talks to the device).
    // `afterReadError`: the path's last device was dropped because its reads failed.
    std::shared_ptr<Device> Connect(const std::string& path, PanelRole role, bool afterReadError);
    // Run with deviceMutex_ held.
    std::shared_ptr<Device> FindDevice(const std::string& name, int index);
    std::vector<std::shared_ptr<Device>> Writable(bool touchPanels);
    // Runs without any lock: the reader may be inside a callback that calls back into us.
    void Disconnect(Device& device);
    // Writes the newest sim_status to a panel board that does not have it yet.
    void PushSimStatus(Device& device, bool warn);
    // The reader's end: a device whose reads failed is left for the scanner to drop.
    void OnReadFailed(Device& device, const HidReadResult& result, bool delivered);
    void ReaderLoop(Device& device);
    void TraceOut(const char* kind, const Device& device, std::size_t bytes,
                  const HidProtocol::Report& report) const;

    // Stop's half after the scanner has ended: closes every device and forgets the probes.
    void CloseAll();

    HidBackend& backend_;
    const Options options_;
    const Clock& clock_;

    std::atomic<bool> running_{false};
    std::atomic<bool> trace_{false};
    std::atomic<std::uint32_t> nextIndex_{0};

    // Guards the callback slots and the targets; never held while calling out.
    std::mutex configMutex_;
    std::shared_ptr<const EventCallback> eventCallback_;
    std::shared_ptr<const SettingsCallback> settingsCallback_;
    std::shared_ptr<const std::vector<Target>> targets_;
    HidManagerSettings settings_;

    // The scanner's pause, a wait on clock_; Stop and RequestScan notify it.
    std::mutex scanMutex_;
    std::condition_variable scanWake_;
    bool scanRequested_ = false;
    std::thread scanThread_;

    // What a probe learned per interface path, kept while the path stays present, so that an
    // unchanged system costs one enumeration per scan and no open at all.
    struct ProbeEntry {
        bool identified = false;  // false: the probe failed; not tried again while present
        HidAttributes attributes;
        bool openWarned = false;  // "Failed to open HID device" was logged for this path
    };
    std::mutex probeMutex_;
    std::unordered_map<std::string, ProbeEntry> probeCache_;

    // Guards devices_ and connecting_ only; never held across a device's input or output, and
    // never taken by reader threads.
    std::mutex deviceMutex_;
    std::map<std::string, std::shared_ptr<Device>> devices_;
    std::set<std::string> connecting_;  // paths a scan is opening right now

    // Guards the repeat memories: the sim_status below and each device's LED and sim_status
    // memory. A leaf lock, never held across a write.
    std::mutex memoryMutex_;
    HidProtocol::Report lastSimStatus_{};
    std::uint64_t simStatusSerial_ = 0;  // 0: nothing sent yet; counts every accepted change
};

}  // namespace tarnwick
