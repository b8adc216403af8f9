// The bridge's components wired to one another: the HID manager, the MobiFlight and SimConnect
// clients and the mapping engine between them. The program, the in-process tests and the
// benchmarks all run this one composition, so they start and stop it the same way.
#pragma once

#include <functional>

#include "app/MappingAdapters.h"
#include "hid/HidManager.h"
#include "mapping/MappingEngine.h"
#include "mapping/SimStatus.h"
#include "platform/Result.h"
#include "sim/MobiFlightClient.h"
#include "sim/SimConnectClient.h"

namespace tarnwick {

class HidBackend;
class SimConnectApi;
struct AppConfig;
class ButtonConfig;
class HidEventMap;

// What the components hand to whoever runs them; each may be empty.
struct BridgeHooks {
    // Simulator telemetry for the touch panels (SimConnect worker); empty: no telemetry asked.
    SimConnectClient::TelemetryHandler onTelemetry;
    // A touch panel's settings report (its reader thread).
    HidManager::SettingsCallback onPanelSettings;
    // The simulator is closing (SimConnect worker).
    std::function<void()> onSimulatorShutdown;
};

class BridgeComponents {
public:
    // The backends, and whatever the probe refers to, must outlive the components.
    BridgeComponents(HidBackend& hidBackend, SimConnectApi& simConnectApi,
                     SimConnectClient::SimulatorProbe simulatorRunning,
                     SimConnectClientOptions simConnectOptions = {});
    ~BridgeComponents();  // Stop
    BridgeComponents(const BridgeComponents&) = delete;
    BridgeComponents& operator=(const BridgeComponents&) = delete;

    // Starts the mapping engine, the HID manager, the MobiFlight client and the SimConnect client
    // in that order, each wired to the others. The records must outlive the run. A component that
    // cannot start logs its ERROR line ("Failed to start HID manager: ..."), the ones already
    // started are stopped again, and the failure carries the reason start-up repeats: the HID
    // manager's (a configuration the user can fix), for the others none. While running it changes
    // nothing and fails with "Bridge components already running".
    Result Start(const AppConfig& config, const ButtonConfig& buttons, const HidEventMap& eventMap,
                 BridgeHooks hooks = {});
    // Engine, MobiFlight client, SimConnect client, HID manager: nothing that comes after the
    // engine stops can reach it any more. Harmless when stopped.
    void Stop();

    HidManager& Hid() { return hid_; }
    SimConnectClient& SimConnect() { return simConnect_; }
    MobiFlightClient& MobiFlight() { return mobiFlight_; }
    MappingEngine& Engine() { return engine_; }

private:
    void OnMasterBattery2(bool on);
    void OnSimConnectionChanged(bool connected);

    // Declared in construction order; destruction runs in reverse.
    HidManager hid_;
    MobiFlightClient mobiFlight_;
    SimConnectClient simConnect_;
    MappingAdapters adapters_;
    SimStatus status_;
    MappingEngine engine_;
    bool running_ = false;  // the thread that starts and stops them only
};

}  // namespace tarnwick
