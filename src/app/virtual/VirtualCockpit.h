// The virtual cockpit: plays a scenario with virtual panel boards, touch panels and a virtual
// simulator, behind the same seams as the real hardware and the real simulator. Whatever the
// scenario leaves out stays real (when the platform has a real backend).
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "app/virtual/Scenario.h"
#include "hid/virtual/VirtualHidBackend.h"
#include "platform/Result.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {

class VirtualCockpit {
public:
    // Builds the virtual devices and simulator; the devices plugged at the start are plugged
    // at once (so the bridge finds them on its first scan), and a simulator that starts at 0 runs.
    // Without keepRecords nothing is kept for Record() beyond the last few device writes, so that
    // long runs keep flat memory.
    explicit VirtualCockpit(Scenario scenario, bool keepRecords = true);
    ~VirtualCockpit();  // Stop
    VirtualCockpit(const VirtualCockpit&) = delete;
    VirtualCockpit& operator=(const VirtualCockpit&) = delete;

    bool HasDevices() const { return scenario_.hasDevices; }
    bool HasSimulator() const { return scenario_.simulator.has_value(); }
    // Valid while the cockpit lives; only when the scenario has them.
    VirtualHidBackend& HidBackendFor() { return hid_; }
    SimConnectApi& SimConnectApiFor() { return *simApi_; }
    VirtualSimulator& Simulator() { return *simulator_; }
    // Whether the virtual simulator's process runs: the bridge's "is the simulator running" probe.
    bool SimulatorRunning() const;

    // The folder of the bridge's config.json, where replaceFile steps replace files. Before Start.
    void SetConfigFolder(std::string folder) { configFolder_ = std::move(folder); }

    // Plays the timeline on a thread of its own, from now. Its waits end at once on Stop. Fails,
    // changing nothing, when already playing.
    Result Start();
    void Stop();
    // True once the End step has been played.
    bool Finished() const;

    // What the devices and the simulator received, one item a line (see docs/scenario.md).
    std::string Record() const;
    Result WriteRecord(const std::string& path) const;

private:
    void Run();
    void Play(const ScenarioStep& step);
    void ReplaceFile(const ScenarioStep& step) const;
    std::shared_ptr<VirtualHidDevice> Plug(const ScenarioDevice& device);
    std::shared_ptr<VirtualHidDevice> DeviceNamed(const std::string& name) const;

    Scenario scenario_;
    bool keepRecords_;
    std::string configFolder_;
    VirtualHidBackend hid_;
    std::unique_ptr<VirtualSimulator> simulator_;
    std::unique_ptr<VirtualSimConnectApi> simApi_;

    mutable std::mutex mutex_;
    // Every device object ever plugged under a name, in plug order (a replug adds one), so the
    // record keeps what an unplugged device received.
    std::multimap<std::string, std::shared_ptr<VirtualHidDevice>> devices_;
    std::condition_variable wake_;  // Stop wakes the timeline's wait
    bool stopping_ = false;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace tarnwick
