#include "app/BridgeComponents.h"

#include <string>
#include <utility>

#include "app/HidSettings.h"
#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "log/Logger.h"

namespace tarnwick {

BridgeComponents::BridgeComponents(HidBackend& hidBackend, SimConnectApi& simConnectApi,
                                   SimConnectClient::SimulatorProbe simulatorRunning,
                                   SimConnectClientOptions simConnectOptions)
    : hid_(hidBackend),
      simConnect_(simConnectApi, std::move(simulatorRunning), simConnectOptions),
      adapters_(hid_, simConnect_, mobiFlight_) {}

BridgeComponents::~BridgeComponents() {
    Stop();
}

Result BridgeComponents::Start(const AppConfig& config, const ButtonConfig& buttons,
                               const HidEventMap& eventMap, BridgeHooks hooks) {
    if (running_) {
        return Result::Failure("Bridge components already running");
    }
    const auto fail = [this](const char* what, const std::string& error, std::string repeated) {
        Logger::Instance().Log(LogLevel::Error,
                               std::string("Failed to start ") + what + ": " + error);
        Stop();
        return Result::Failure(std::move(repeated));
    };
    if (const Result started = engine_.Start(adapters_.With(&config, &buttons, &eventMap, &status_));
        !started) {
        return fail("mapping engine", started.Error(), "");
    }
    mobiFlight_.SetTextHandler([this](const std::string& text) { engine_.OnMobiFlightText(text); });

    hid_.SetTrace(config.trace);
    hid_.SetSettingsCallback(std::move(hooks.onPanelSettings));
    const auto onEvent = [this](const HidProtocol::HidEvent& event, const std::string& name,
                                int index) { engine_.OnHidEvent(event, name, index); };
    if (const Result started = hid_.Start(HidSettingsFromConfig(config), onEvent); !started) {
        return fail("HID manager", started.Error(), started.Error());
    }
    if (const Result started = mobiFlight_.Start(&simConnect_, config.mobiflight); !started) {
        return fail("MobiFlight client", started.Error(), "");
    }
    if (hooks.onTelemetry) {
        Logger::Instance().Log(LogLevel::Info, "Touch panel configured; telemetry enabled");
        simConnect_.SetTelemetryHandler(std::move(hooks.onTelemetry));
    }
    simConnect_.SetBatteryHandler([this](bool on) { OnMasterBattery2(on); });
    simConnect_.SetAircraftHandler(
        [this](const std::string& title) { engine_.OnAircraftTitle(title); });
    simConnect_.SetShutdownHandler(std::move(hooks.onSimulatorShutdown));
    if (const Result started = simConnect_.Start(
            "TarnwickHID", [this](bool connected) { OnSimConnectionChanged(connected); },
            [this] { return hid_.HasDevices(); });
        !started) {
        return fail("SimConnect client", started.Error(), "");
    }
    running_ = true;
    return Result::Success();
}

void BridgeComponents::Stop() {
    running_ = false;
    engine_.Stop();
    mobiFlight_.Stop();
    simConnect_.Stop();
    hid_.Stop();
}

void BridgeComponents::OnMasterBattery2(bool on) {
    status_.SetBattery(on);
    engine_.RequestOutputRefresh();
    Logger::Instance().Debug(std::string("State update: master battery 2=") + (on ? "1" : "0"));
}

void BridgeComponents::OnSimConnectionChanged(bool connected) {
    hid_.SendSimStatus(connected);
    mobiFlight_.OnSimConnectionChanged(connected);
    engine_.SetSimConnected(connected);
    engine_.RequestOutputRefresh();
}

}  // namespace tarnwick
