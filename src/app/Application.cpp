#include "app/Application.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

#include "app/ConsoleCommandReader.h"
#include "app/Paths.h"
#include "app/SystemServices.h"
#include "config/PathText.h"
#include "log/Logger.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

constexpr const char* kVersionBanner = "Initializing application: TarnwickHID v0.2.2";
constexpr auto kPollPeriod = std::chrono::milliseconds(100);
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
    : platform_(std::move(platform)),
      components_(*platform_.hidBackend, *platform_.simConnectApi, platform_.simulatorRunning),
      watcher_(Clock::Steady(), platform_.changeSignal != nullptr
                                    ? std::move(platform_.changeSignal)
                                    : CreateClockChangeSignal(Clock::Steady())),
      console_(std::make_shared<ConsoleLink>(this)) {}

Application::~Application() {
    // The console thread may still wait for input; from now on it finds nothing to act on.
    console_->Cut();
    StopNotifications();
    watcher_.Stop();
    components_.Stop();
}

void Application::RequestStop() {
    stopRequested_.store(true);
    console_->Wake();
}

Result Application::Initialize(const std::string& configPath, bool consoleMode) {
    consoleMode_ = consoleMode;
    SystemServices& services = *platform_.services;
    const std::string exeDir = ExecutableDirectory(services);
    const std::string appData = services.CommonAppDataDirectory();
    Logger::Instance().Init(ResolveLogDirectory(consoleMode, appData, exeDir), "TarnwickHID",
                            consoleMode);
    LogInfo(kVersionBanner);

    if (!std::filesystem::exists(ToFsPath(configPath))) {
        std::string errorText = "Config file not found: " + configPath;
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
        return Result::Failure(errorText);
    }
    // Each file's stamp, and config.json's text, are taken before the file is read, so that an
    // edit saved while the bridge starts is picked up once it runs. The engine runs with the
    // start-up records until the first reload; they outlive it.
    std::vector<ConfigWatcher::Stamp> seen{ConfigWatcher::StampOf(configPath)};
    reload_ = std::make_unique<LiveReload>(
        configPath, std::shared_ptr<const AppConfig>(std::shared_ptr<const AppConfig>(), &config_));
    if (const Result loaded = LoadAppConfig(configPath, config_); !loaded) {
        LogError(loaded.Error());
        return loaded;
    }
    seen.push_back(ConfigWatcher::StampOf(config_.buttonConfigPath));
    if (hidTraceOverride_) {
        config_.trace = *hidTraceOverride_;
    }
    Logger::Instance().SetDebugEnabled(config_.debug || config_.trace);
    LogInfo("Configuration loaded");

    if (!config_.hidEventMapPath.empty()) {
        seen.push_back(ConfigWatcher::StampOf(config_.hidEventMapPath));
        if (const Result loaded = hidEventMap_.Load(config_.hidEventMapPath); !loaded) {
            LogWarn("Failed to load HID event map: " + loaded.Error());
        }
    }
    {
        if (const Result loaded = buttonConfig_.Load(config_.buttonConfigPath); !loaded) {
            LogError("Failed to load button config: " + loaded.Error());
            return Result::Failure("");
        }
        for (const std::string& warning :
             buttonConfig_.OverLongCommands(MobiFlightProtocol::kMaxRpnText)) {
            LogWarn(warning);
        }
    }
    BridgeHooks hooks;
    for (const auto& device : config_.devices) {
        if (device.role == PanelRole::TouchPanel) {
            hooks.onTelemetry = [this](const SimTelemetry& telemetry) { OnTelemetry(telemetry); };
            break;
        }
    }
    hooks.onPanelSettings = [this](const TelemetryProtocol::Settings& settings,
                                   const std::string& deviceName) {
        OnPanelSettings(settings, deviceName);
    };
    hooks.onSimulatorShutdown = [this] { RequestStop(); };
    if (Result started = components_.Start(config_, buttonConfig_, hidEventMap_, hooks); !started) {
        return started;
    }
    if (const Result watching = StartWatching(std::move(seen)); !watching) {
        LogWarn(watching.Error());
    }
    if (const Result notifying = StartNotifications(); !notifying) {
        LogWarn("Failed to register HID device notifications: " + notifying.Error());
    }
    if (config_.cdcEnabled) {
        LogWarn("CDC debug requested but this build does not include CDC support");
    }
    LogInfo("HID manager started");
    return Result::Success();
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
    watcher_.Stop();
    components_.Stop();
    LogInfo("Application run loop stopped");
}

Result Application::StartWatching(std::vector<ConfigWatcher::Stamp> seen) {
    const auto files = reload_->Files();
    std::vector<std::string> paths;
    for (const auto& [kind, path] : files) {
        paths.push_back(path);
    }
    auto onChange = [this, files](std::size_t changed) {
        LiveReload::Outcome outcome = reload_->Reload(files[changed].first);
        MappingEngine& engine = components_.Engine();
        engine.ReplaceRecords(std::move(outcome.records));
        if (outcome.refreshOutputs) {
            engine.RequestOutputRefresh();
        }
    };
    return watcher_.Start(std::move(paths), std::move(onChange), std::move(seen));
}

Result Application::StartNotifications() {
    if (platform_.notifier == nullptr) {
        return Result::Failure("Failed to initialize notification thread");
    }
    Result started = platform_.notifier->Start([this] { components_.Hid().RequestScan(); });
    notifierRunning_ = started.Ok();
    return started;
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
        components_.Hid().SendTelemetry(PanelValues(telemetry), NextTelemetrySequence());
    if (const auto line = panelRules_.TelemetrySent(count)) {
        LogInfo(*line);
    }
}

void Application::OnPanelSettings(const TelemetryProtocol::Settings& settings,
                                  const std::string& deviceName) {
    // Two touch panels report on two reader threads; the forwarded values are one set.
    std::lock_guard<std::mutex> lock(settingsMutex_);
    for (const PanelBridgeRules::SimEvent& event : panelRules_.OnSettings(settings, deviceName)) {
        if (const Result sent = components_.SimConnect().TransmitEvent(event.eventName, event.degrees);
            sent) {
            Logger::Instance().Debug(event.debugLine);
        } else {
            LogWarn(event.eventName + " failed: " + sent.Error());
        }
    }
}

}  // namespace tarnwick
