#include "app/Application.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <thread>
#include <utility>

#include "app/ConsoleCommandReader.h"
#include "app/HidSettings.h"
#include "app/Paths.h"
#include "app/SystemServices.h"
#include "config/PathText.h"
#include "log/Logger.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

constexpr const char* kVersionBanner = "Initializing application: TarnwickHID v0.2.2";
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
// A settings value must move further than this from the value last forwarded to be sent again.
void LogInfo(const std::string& text) {
    Logger::Instance().Log(LogLevel::Info, text);
}
void LogWarn(const std::string& text) {
    Logger::Instance().Log(LogLevel::Warn, text);
}
void LogError(const std::string& text) {
    Logger::Instance().Log(LogLevel::Error, text);
}

// Where each simulator value travels in the touch panels' telemetry pages.
constexpr std::pair<SimTelemetry::Index, TelemetryProtocol::ValueIndex> kPanelSlots[] = {
    {SimTelemetry::kMagneticHeading, TelemetryProtocol::kMagneticHeading},
    {SimTelemetry::kPitch, TelemetryProtocol::kPitch},
    {SimTelemetry::kBank, TelemetryProtocol::kBank},
    {SimTelemetry::kTurnRate, TelemetryProtocol::kTurnRate},
    {SimTelemetry::kLateralAcceleration, TelemetryProtocol::kLateralAcceleration},
    {SimTelemetry::kIndicatedAirspeed, TelemetryProtocol::kIndicatedAirspeed},
    {SimTelemetry::kIndicatedAltitude, TelemetryProtocol::kIndicatedAltitude},
    {SimTelemetry::kAltimeterSetting, TelemetryProtocol::kAltimeterSetting},
    {SimTelemetry::kOutsideAirTemperature, TelemetryProtocol::kOutsideAirTemperature},
    {SimTelemetry::kMainBusVoltage, TelemetryProtocol::kMainBusVoltage},
    {SimTelemetry::kNav1CourseDeviation, TelemetryProtocol::kNav1CourseDeviation},
    {SimTelemetry::kNav1Radial, TelemetryProtocol::kNav1Radial},
    {SimTelemetry::kNav1GlideSlopeDeviation, TelemetryProtocol::kNav1GlideSlopeDeviation},
    {SimTelemetry::kAutopilotHeadingBug, TelemetryProtocol::kAutopilotHeadingBug},
};
static_assert(std::size(kPanelSlots) == SimTelemetry::kCount &&
              SimTelemetry::kCount == TelemetryProtocol::kValueCount);

TelemetryProtocol::Values PanelValues(const SimTelemetry& telemetry) {
    TelemetryProtocol::Values values;
    for (const auto& [from, to] : kPanelSlots) {
        values[to] = telemetry[from];
    }
    return values;
}

}  // namespace

Application::Application(ApplicationPlatform platform)
    : hidManager_(*platform.hidBackend),
      simConnect_(*platform.simConnectApi, platform.simulatorRunning),
      mappingAdapters_(hidManager_, simConnect_, mobiFlight_),
      platform_(std::move(platform)),
      console_(std::make_shared<ConsoleLink>(this)) {}

Application::~Application() {
    // The console thread may still wait for input; from now on it finds nothing to act on.
    console_->Cut();
    StopNotifications();
    StopComponents();
}

void Application::RequestStop() {
    stopRequested_.store(true);
    console_->Wake();
}

bool Application::Initialize(const std::string& configPath, bool consoleMode,
                             std::string& errorText) {
    consoleMode_ = consoleMode;
    SystemServices& services = *platform_.services;
    const std::string exeDir = ExecutableDirectory(services);
    const std::string appData = services.CommonAppDataDirectory();
    Logger::Instance().Init(ResolveLogDirectory(consoleMode, appData, exeDir), "TarnwickHID",
                            consoleMode);
    LogInfo(kVersionBanner);

    if (!std::filesystem::exists(ToFsPath(configPath))) {
        errorText = "Config file not found: " + configPath;
        std::string searchOrder;
        if (!exeDir.empty()) {
            searchOrder = JoinPath(JoinPath(exeDir, "config"), "config.json");
        }
        if (!appData.empty()) {
            if (!searchOrder.empty()) {
                searchOrder += "; ";
            }
            searchOrder += JoinPath(JoinPath(appData, "Tarnwick"), "config.json");
        }
        if (!searchOrder.empty()) {
            errorText.append(" (default search order: ").append(searchOrder).append(")");
        }
        LogError(errorText);
        return false;
    }
    if (!LoadAppConfig(configPath, config_, errorText)) {
        LogError(errorText);
        return false;
    }
    if (hidTraceOverride_) {
        config_.trace = *hidTraceOverride_;
    }
    Logger::Instance().SetDebugEnabled(config_.debug || config_.trace);
    LogInfo("Configuration loaded");

    if (!config_.hidEventMapPath.empty()) {
        std::string mapError;
        if (!hidEventMap_.Load(config_.hidEventMapPath, mapError)) {
            LogWarn("Failed to load HID event map: " + mapError);
        }
    }
    {
        std::string buttonError;
        if (!buttonConfig_.Load(config_.buttonConfigPath, buttonError)) {
            LogError("Failed to load button config: " + buttonError);
            return false;
        }
        for (const std::string& warning :
             buttonConfig_.OverLongCommands(MobiFlightProtocol::kMaxRpnText)) {
            LogWarn(warning);
        }
    }
    {
        std::string engineError;
        if (!mappingEngine_.Start(
                mappingAdapters_.With(&config_, &buttonConfig_, &hidEventMap_, &simStatus_),
                engineError)) {
            LogError("Failed to start mapping engine: " + engineError);
            return false;
        }
    }
    mobiFlight_.SetTextHandler(
        [this](const std::string& text) { mappingEngine_.OnMobiFlightText(text); });

    hidManager_.SetTrace(config_.trace);
    hidManager_.SetSettingsCallback(
        [this](const TelemetryProtocol::Settings& settings, const std::string& deviceName) {
            OnPanelSettings(settings, deviceName);
        });
    const auto onEvent = [this](const HidProtocol::HidEvent& event, const std::string& name,
                                int index) { mappingEngine_.OnHidEvent(event, name, index); };
    if (!hidManager_.Start(HidSettingsFromConfig(config_), onEvent, errorText)) {
        LogError("Failed to start HID manager: " + errorText);
        StopComponents();
        return false;
    }
    {
        const Result mobiFlightStarted = mobiFlight_.Start(&simConnect_, config_.mobiflight);
        if (!mobiFlightStarted) {
            LogError("Failed to start MobiFlight client: " + mobiFlightStarted.Error());
            StopComponents();
            return false;
        }
    }
    for (const auto& device : config_.devices) {
        if (device.role == PanelRole::TouchPanel) {
            LogInfo("Touch panel configured; telemetry enabled");
            simConnect_.SetTelemetryHandler(
                [this](const SimTelemetry& telemetry) { OnTelemetry(telemetry); });
            break;
        }
    }
    simConnect_.SetBatteryHandler([this](bool on) { OnMasterBattery2(on); });
    simConnect_.SetShutdownHandler([this] { RequestStop(); });
    {
        const Result simStarted = simConnect_.Start(
            "TarnwickHID", [this](bool connected) { OnSimConnectionChanged(connected); },
            [this] { return hidManager_.HasDevices(); });
        if (!simStarted) {
            LogError("Failed to start SimConnect client: " + simStarted.Error());
            StopComponents();
            return false;
        }
    }
    {
        std::string notifyError;
        if (!StartNotifications(notifyError)) {
            LogWarn("Failed to register HID device notifications: " + notifyError);
        }
    }
    if (config_.cdcEnabled) {
        LogWarn("CDC debug requested but this build does not include CDC support");
    }
    LogInfo("HID manager started");
    return true;
}

void Application::Run() {
    LogInfo("Application run loop started");
    if (consoleMode_) {
        // Detached: it may stay blocked on standard input until the process ends; it reaches us
        // only through the link, which the destructor cuts.
        std::thread(ConsoleCommandReader, console_, std::ref(std::cin)).detach();
    }
    while (!stopRequested_.load()) {
        if (platform_.processStop != nullptr && platform_.processStop->load()) {
            RequestStop();  // so the console thread sees it too
            break;
        }
        std::this_thread::sleep_for(kPollPeriod);
    }
    // No rescan request may reach a stopping HID manager.
    StopNotifications();
    StopComponents();
    LogInfo("Application run loop stopped");
}

void Application::StopComponents() {
    mappingEngine_.Stop();
    mobiFlight_.Stop();
    simConnect_.Stop();
    hidManager_.Stop();
}

bool Application::StartNotifications(std::string& errorText) {
    if (platform_.notifier == nullptr) {
        errorText = "Failed to initialize notification thread";
        return false;
    }
    notifierRunning_ = platform_.notifier->Start([this] { hidManager_.RequestScan(); }, errorText);
    return notifierRunning_;
}

void Application::StopNotifications() {
    if (notifierRunning_ && platform_.notifier != nullptr) {
        platform_.notifier->Stop();
    }
    notifierRunning_ = false;
}

std::uint16_t Application::NextTelemetrySequence() {
    return static_cast<std::uint16_t>(telemetrySequence_.fetch_add(1) + 1);
}

void Application::OnTelemetry(const SimTelemetry& telemetry) {
    if (!panelRules_.TelemetryDue(std::chrono::milliseconds(config_.telemetryIntervalMs))) {
        return;
    }
    const unsigned count =
        hidManager_.SendTelemetry(PanelValues(telemetry), NextTelemetrySequence());
    if (const auto line = panelRules_.TelemetrySent(count)) {
        LogInfo(*line);
    }
}

void Application::OnPanelSettings(const TelemetryProtocol::Settings& settings,
                                  const std::string& deviceName) {
    // Two touch panels report on two reader threads; the forwarded values are one set.
    std::lock_guard<std::mutex> lock(settingsMutex_);
    for (const PanelBridgeRules::SimEvent& event : panelRules_.OnSettings(settings, deviceName)) {
        const Result sent = simConnect_.TransmitEvent(event.eventName, event.degrees);
        if (sent) {
            Logger::Instance().Debug(event.debugLine);
        } else {
            LogWarn(event.eventName + " failed: " + sent.Error());
        }
    }
}

void Application::OnMasterBattery2(bool on) {
    simStatus_.SetBattery(on);
    mappingEngine_.RequestOutputRefresh();
    Logger::Instance().Debug(std::string("State update: master battery 2=") + (on ? "1" : "0"));
}

void Application::OnSimConnectionChanged(bool connected) {
    hidManager_.SendSimStatus(connected);
    mobiFlight_.OnSimConnectionChanged(connected);
    mappingEngine_.SetSimConnected(connected);
    mappingEngine_.RequestOutputRefresh();
}

}  // namespace tarnwick
