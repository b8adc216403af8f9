// One bridge run: owns the configuration and every component, starts them in a fixed order and
// wires them together with callbacks, idles until something asks it to stop, and stops them in a
// fixed order.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/ConsoleLink.h"
#include "app/DeviceNotifier.h"
#include "app/MappingAdapters.h"
#include "app/PanelBridgeRules.h"
#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "hid/HidManager.h"
#include "hid/TelemetryProtocol.h"
#include "mapping/MappingEngine.h"
#include "mapping/SimStatus.h"
#include "sim/MobiFlightClient.h"
#include "sim/SimConnectClient.h"
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
    // in order. False when a required step failed; the components already started are stopped
    // again. errorText holds the reason for the steps that name one.
    bool Initialize(const std::string& configPath, bool consoleMode, std::string& errorText);

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
    void OnMasterBattery2(bool on);
    void OnSimConnectionChanged(bool connected);

    // For the console commands: the next telemetry sequence number (wrapping, 1 first), shared
    // by the simulator's and the synthetic stream.
    std::uint16_t NextTelemetrySequence();
    HidManager& Hid() { return hidManager_; }
    const AppConfig& Config() const { return config_; }

private:
    void StopComponents();
    bool StartNotifications(std::string& errorText);
    void StopNotifications();

    // Declared in construction order; destruction runs in reverse.
    std::atomic<bool> stopRequested_{false};
    bool consoleMode_ = false;
    AppConfig config_;
    HidManager hidManager_;
    ButtonConfig buttonConfig_;
    MobiFlightClient mobiFlight_;
    SimConnectClient simConnect_;
    MappingAdapters mappingAdapters_;
    SimStatus simStatus_;
    HidEventMap hidEventMap_;
    MappingEngine mappingEngine_;
    ApplicationPlatform platform_;
    bool notifierRunning_ = false;
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
