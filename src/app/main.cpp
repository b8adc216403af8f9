// TarnwickHID: the composition root. Picks the platform backends (or the virtual cockpit), parses
// the command line and runs one of the courses: list EXE.xml files, register or unregister, or run
// the bridge.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/OneShotCommands.h"
#include "app/Paths.h"
#include "app/SystemServices.h"
#include "app/virtual/Scenario.h"
#include "app/virtual/VirtualCockpit.h"
#include "app/virtual/VirtualDeviceNotifier.h"
#include "hid/HidBackend.h"
#include "log/Logger.h"
#include "sim/SimConnectApi.h"

namespace tarnwick {
namespace {

constexpr const char* kSingleInstanceName = "Local\\TarnwickHID.singleton";

#ifdef _WIN32
constexpr bool kHasRealBackends = true;
#else
constexpr bool kHasRealBackends = false;
#endif

// The backends of one bridge run and what owns them.
struct Backends {
    std::unique_ptr<VirtualCockpit> cockpit;
    std::unique_ptr<HidBackend> realHid;
    std::unique_ptr<SimConnectApi> realSim;
    // Stand-ins where the native build has no real backend: no devices, a simulator that never
    // runs.
    std::unique_ptr<VirtualHidBackend> idleHid;
    std::unique_ptr<VirtualSimulator> idleSim;
    std::unique_ptr<VirtualSimConnectApi> idleSimApi;
};

ApplicationPlatform PickBackends(SystemServices& services, Backends& owned) {
    ApplicationPlatform platform;
    platform.services = &services;
    VirtualCockpit* cockpit = owned.cockpit.get();

    if (cockpit != nullptr && cockpit->HasDevices()) {
        platform.hidBackend = &cockpit->HidBackendFor();
        auto notifier = std::make_unique<VirtualDeviceNotifier>();
        VirtualDeviceNotifier* raw = notifier.get();
        cockpit->HidBackendFor().SetHotplugListener([raw](const std::string&, bool arrived) {
            raw->Notify(arrived ? VirtualDeviceChange::HidArrival
                                : VirtualDeviceChange::HidRemoval);
        });
        platform.notifier = std::move(notifier);
    } else if (kHasRealBackends) {
#ifdef _WIN32
        owned.realHid = CreateWin32HidBackend();
        platform.hidBackend = owned.realHid.get();
        platform.notifier = CreateWin32DeviceNotifier();
#endif
    } else {
        owned.idleHid = std::make_unique<VirtualHidBackend>();
        platform.hidBackend = owned.idleHid.get();
        platform.notifier = std::make_unique<VirtualDeviceNotifier>();
    }

    if (cockpit != nullptr && cockpit->HasSimulator()) {
        platform.simConnectApi = &cockpit->SimConnectApiFor();
        platform.simulatorRunning = [cockpit] { return cockpit->SimulatorRunning(); };
    } else if (kHasRealBackends) {
#ifdef _WIN32
        owned.realSim = CreateWin32SimConnectApi();
        platform.simConnectApi = owned.realSim.get();
        platform.simulatorRunning = [&services] { return services.IsSimulatorProcessRunning(); };
#endif
    } else {
        owned.idleSim = std::make_unique<VirtualSimulator>();
        owned.idleSimApi = std::make_unique<VirtualSimConnectApi>(*owned.idleSim);
        platform.simConnectApi = owned.idleSimApi.get();
        platform.simulatorRunning = [] { return false; };
    }
    return platform;
}

struct CockpitStopper {
    VirtualCockpit* cockpit;
    ~CockpitStopper() {
        if (cockpit != nullptr) {
            cockpit->Stop();
        }
    }
};

int RunBridge(SystemServices& services, const CommandLineOptions& options) {
    if (services.AcquireSingleInstanceLock(kSingleInstanceName) ==
        SystemServices::InstanceLock::AlreadyRunning) {
        return 0;  // a launch by the simulator while a bridge runs does no harm
    }

    Backends backends;
    if (!options.scenarioPath.empty()) {
        Scenario scenario;
        std::string error;
        if (!LoadScenario(options.scenarioPath, scenario, error)) {
            std::fprintf(stderr, "TarnwickHID: %s\n", error.c_str());
            return 1;
        }
        backends.cockpit =
            std::make_unique<VirtualCockpit>(std::move(scenario), !options.recordPath.empty());
    } else if (!kHasRealBackends) {
        std::fprintf(stderr,
                     "TarnwickHID: this build has no real HID or SimConnect backend; run it with "
                     "--virtual SCENARIO (see docs/scenario.md).\n");
        return 1;
    }

    int exitCode = 0;
    {
        ApplicationPlatform platform = PickBackends(services, backends);
        if (options.consoleMode) {
            services.InstallConsoleStopHandler();
            platform.processStop = &g_consoleStopRequested;
        }
        Application app(std::move(platform));
        // Stops the cockpit before the Application goes, also when an exception leaves: a plug or
        // unplug step still to come would call the device notifier the Application owns.
        const CockpitStopper stopCockpitFirst{backends.cockpit.get()};
        if (options.hidTrace) {
            app.SetHidTraceOverride(true);
        }
        std::string errorText;
        if (app.Initialize(options.configPath, options.consoleMode, errorText)) {
            if (backends.cockpit != nullptr) {
                backends.cockpit->Start();
            }
            app.Run();
        } else {
            Logger::Instance().Log(LogLevel::Error, "Failed to initialize: " + errorText);
            exitCode = 1;
        }
    }
    if (backends.cockpit != nullptr) {
        std::string error;
        if (!options.recordPath.empty() && !backends.cockpit->WriteRecord(options.recordPath, error)) {
            Logger::Instance().Log(LogLevel::Error, error);
            exitCode = exitCode == 0 ? 1 : exitCode;
        }
    }
    Logger::Instance().Shutdown();
    return exitCode;
}

// With "--console" the detached console thread may still sit in a read of standard input,
// holding the C runtime's stdin lock; the runtime's teardown at exit would wait for it (until
// Enter is pressed) while the single-instance lock stays held. Such a run ends at once instead.
int Finish(SystemServices* services, bool consoleBridge, int exitCode) {
    if (services == nullptr || !consoleBridge) {
        return exitCode;
    }
    services->OrderlyStopFinished();
    EndProcessNow(exitCode);
}

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
    using namespace tarnwick;
    InstallCrashHandlers();
    std::unique_ptr<SystemServices> services;
    bool consoleBridge = false;
    try {
        services = CreatePlatformSystemServices();
        services->AttachParentConsole();

        CommandLineOptions options = ParseCommandLine(argc, argv);
        if (options.configPath.empty()) {
            options.configPath = ResolveDefaultConfigPath(*services);
        }
        if (options.listExeXml) {
            return RunListExeXml(stdout);
        }
        if (options.registerAddon || options.unregisterAddon) {
            return RunAddonRegistration(options, services->ExecutablePath(), stdout, stderr);
        }
        consoleBridge = options.consoleMode;
        return Finish(services.get(), consoleBridge, RunBridge(*services, options));
    } catch (const std::exception& e) {
        // A file-system error of an existence check, a thread that cannot start.
        Logger::Instance().Log(LogLevel::Error, std::string("Fatal error: ") + e.what());
        Logger::Instance().Shutdown();
        std::fprintf(stderr, "TarnwickHID: %s\n", e.what());
        return Finish(services.get(), consoleBridge, 1);
    } catch (...) {
        Logger::Instance().Log(LogLevel::Error, "Fatal error: unknown exception");
        Logger::Instance().Shutdown();
        return Finish(services.get(), consoleBridge, 1);
    }
}
