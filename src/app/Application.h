// One bridge run: sets up the log, loads the configuration, runs the bridge's components over the
// platform it is given, bridges telemetry and panel settings for the touch panels, and idles
// until something asks it to stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/BridgeComponents.h"
#include "app/ConfigWatcher.h"
#include "app/ConsoleLink.h"
#include "app/DeviceNotifier.h"
#include "app/LiveReload.h"
#include "app/PanelBridgeRules.h"
#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "hid/TelemetryProtocol.h"
#include "platform/Result.h"
#include "sim/SimTelemetry.h"

namespace tarnwick {

class HidBackend;
class SimConnectApi;
class SystemServices;

// What the composition root picks for a run: the real platform, the virtual cockpit, or a mix.
// Nothing here is owned except the notifier.
struct ApplicationPlatform {
    SystemServices* services = nullptr;
    HidBackend* hidBackend = nullptr;
    SimConnectApi* simConnectApi = nullptr;
    SimConnectClient::SimulatorProbe simulatorRunning;
    std::unique_ptr<DeviceNotifier> notifier;  // null: no device-change notifications
    // How the configuration watcher learns of edits early; null: its once-a-second look alone.
    std::unique_ptr<FileChangeSignal> changeSignal;
    // A stop flag that outlives the Application (the console stop handler's), polled beside
    // its own; null: none.
    const std::atomic<bool>* processStop = nullptr;
};

class Application {
public:
    explicit Application(ApplicationPlatform platform);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // "--hid-trace": applied over the configuration's hid.trace once it is loaded.
    void SetHidTraceOverride(bool value) { hidTraceOverride_ = value; }

    // Sets up the log, loads the configuration and the mapping files and starts every component
    // in order. A failure when a required step failed; the components already started are
    // stopped again. Its message is the reason for the steps that name one, else empty.
    Result Initialize(const std::string& configPath, bool consoleMode);

    // Polls the stop flag every 100 ms, then stops everything in order.
    void Run();

    // The flag every stop request ends in: the console control handler, "quit", the simulator
    // closing. Lives as long as the Application.
    std::atomic<bool>& StopFlag() { return stopRequested_; }
    void RequestStop();

    // The telemetry and panel-settings bridge: the SimConnect worker delivers telemetry, the
    // touch panels' reader threads their settings.
    void OnTelemetry(const SimTelemetry& telemetry);
    void OnPanelSettings(const TelemetryProtocol::Settings& settings,
                         const std::string& deviceName);

    // For the console commands: the next telemetry sequence number (wrapping, 1 first), shared
    // by the simulator's and the synthetic stream.
    std::uint16_t NextTelemetrySequence();
    HidManager& Hid() { return components_.Hid(); }
    const AppConfig& Config() const { return config_; }

private:
    Result StartNotifications();
    void StopNotifications();
    // `seen`: the watched files' stamps from before start-up read them, in LiveReload's order.
    Result StartWatching(std::vector<ConfigWatcher::Stamp> seen);

    // Declared in construction order; destruction runs in reverse, so the platform and the
    // records outlive the components.
    ApplicationPlatform platform_;
    std::atomic<bool> stopRequested_{false};
    bool consoleMode_ = false;
    AppConfig config_;
    ButtonConfig buttonConfig_;
    HidEventMap hidEventMap_;
    BridgeComponents components_;
    bool notifierRunning_ = false;
    // Started after the components and stopped before them; it hands them edited files.
    std::unique_ptr<LiveReload> reload_;
    ConfigWatcher watcher_;
    std::optional<bool> hidTraceOverride_;

    // The console's synthetic stream shares the telemetry sequence with the SimConnect worker.
    std::atomic<std::uint16_t> telemetrySequence_{0};
    // Its telemetry half runs on the SimConnect worker alone; its settings half on the touch
    // panels' reader threads, under settingsMutex_.
    PanelBridgeRules panelRules_;
    std::mutex settingsMutex_;

    // The console command thread is detached; it reaches the Application only through this link,
    // which the destructor cuts, so the thread never touches a destroyed Application.
    std::shared_ptr<ConsoleLink> console_;
};

}  // namespace tarnwick
