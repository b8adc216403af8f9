// TarnwickHID's entry point: parses the command line and runs one of the courses: list EXE.xml
// files, check the configuration, list HID interfaces, register or unregister, or run the bridge
// over the backends app/Backends picks.
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "app/Application.h"
#include "app/Backends.h"
#include "app/CommandLine.h"
#include "app/OneShotCommands.h"
#include "app/Paths.h"
#include "app/SystemServices.h"
#include "app/virtual/Scenario.h"
#include "app/virtual/VirtualCockpit.h"
#include "config/PathText.h"
#include "log/Logger.h"

namespace tarnwick {
namespace {

constexpr const char* kSingleInstanceName = "Local\\TarnwickHID.singleton";

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

    // Declared before what it owns: the cockpit goes last.
    std::unique_ptr<VirtualCockpit> cockpit;
    OwnedBackends owned;
    if (!options.scenarioPath.empty()) {
        Scenario scenario;
        if (const Result loaded = LoadScenario(options.scenarioPath, scenario); !loaded) {
            std::fprintf(stderr, "TarnwickHID: %s\n", loaded.Error().c_str());
            return 1;
        }
        cockpit =
            std::make_unique<VirtualCockpit>(std::move(scenario), !options.recordPath.empty());
    } else if (!kHasRealBackends) {
        std::fprintf(stderr,
                     "TarnwickHID: this build has no real HID or SimConnect backend; run it with "
                     "--virtual SCENARIO (see docs/scenario.md).\n");
        return 1;
    }

    int exitCode = 0;
    {
        ApplicationPlatform platform = PickBackends(services, cockpit.get(), owned);
        if (options.consoleMode) {
            services.InstallConsoleStopHandler();
            platform.processStop = &g_consoleStopRequested;
        }
        Application app(std::move(platform));
        // Stops the cockpit before the Application goes, also when an exception leaves: a plug or
        // unplug step still to come would call the device notifier the Application owns.
        const CockpitStopper stopCockpitFirst{cockpit.get()};
        if (cockpit != nullptr) {
            cockpit->SetConfigFolder(FromFsPath(ToFsPath(options.configPath).parent_path()));
        }
        if (options.hidTrace) {
            app.SetHidTraceOverride(true);
        }
        if (const Result initialized = app.Initialize(options.configPath, options.consoleMode)) {
            if (const Result playing = cockpit != nullptr ? cockpit->Start() : Result::Success();
                !playing) {
                Logger::Instance().Log(LogLevel::Error, playing.Error());
                app.RequestStop();
                exitCode = 1;  // the scenario never played
            }
            app.Run();
        } else {
            Logger::Instance().Log(LogLevel::Error, "Failed to initialize: " + initialized.Error());
            exitCode = 1;
        }
    }
    if (cockpit != nullptr && !options.recordPath.empty()) {
        if (const Result written = cockpit->WriteRecord(options.recordPath); !written) {
            Logger::Instance().Log(LogLevel::Error, written.Error());
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
        if (options.checkConfig) {
            return RunCheckConfig(options.configPath, stdout);
        }
        if (options.listDevices) {
            return RunListDevices(options, stdout, stderr);
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
