// The whole bridge in-process over the virtual cockpit, on the program's own backend choice: the
// machine services faked, the cockpit's devices and simulator behind the platform seams.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "app/Backends.h"
#include "app/SystemServices.h"
#include "app/virtual/Scenario.h"
#include "app/virtual/VirtualCockpit.h"
#include "log/Logger.h"
#include "support/TestSupport.h"

namespace tarnwick::test {

// The machine as the bridge sees it: the executable and the machine-wide data folder where the
// test puts them, no simulator process, the single-instance lock always free.
class FakeServices final : public SystemServices {
public:
    FakeServices(std::string exePath = "", std::string appData = "")
        : exePath(std::move(exePath)), appData(std::move(appData)) {}
    void AttachParentConsole() override {}
    std::string ExecutablePath() override { return exePath; }
    std::string CommonAppDataDirectory() override { return appData; }
    bool IsSimulatorProcessRunning() override { return false; }
    InstanceLock AcquireSingleInstanceLock(const std::string&) override {
        return InstanceLock::Acquired;
    }
    void InstallConsoleStopHandler() override {}
    void OrderlyStopFinished() override {}

    std::string exePath;
    std::string appData;
};

inline std::unique_ptr<VirtualCockpit> MakeCockpit(const std::string& scenarioJson) {
    Scenario scenario;
    if (const Result parsed = ParseScenario(scenarioJson, scenario); !parsed)
        throw std::runtime_error("scenario: " + parsed.Error());
    return std::make_unique<VirtualCockpit>(std::move(scenario));
}

// Runs of the whole bridge over the cockpit of tests/data/bridge, with the configuration there,
// the run loop on a thread of its own. Without "--console" the log goes under the machine-wide
// data folder, a folder of this test's own.
class BridgeRuns {
public:
    BridgeRuns() {
        for (const char* file : {"config.json", "buttons.json", "hid_event_map.json"})
            dir.Write(std::string("bin/config/") + file, FileBytes(kData + file));
    }
    ~BridgeRuns() {
        Stop();
        Logger::Instance().Shutdown();
    }
    Result Start() {
        // The cockpit has devices and a simulator, so no other backend is made; a plug or unplug
        // triggers a rescan until Stop clears the listener.
        OwnedBackends none;
        app = std::make_unique<Application>(PickBackends(services, cockpit.get(), none));
        const Result started = app->Initialize(dir.File("bin/config/config.json"), false);
        if (!started) {
            Stop();
            return started;
        }
        returned = false;
        runner = std::thread([this] {
            app->Run();
            returned = true;
        });
        return started;
    }
    // Asks the run to stop and waits for it; the cockpit's devices outlive it.
    void Stop() {
        if (app != nullptr) {
            app->RequestStop();
            if (runner.joinable())
                runner.join();
            cockpit->HidBackendFor().SetHotplugListener({});
            app.reset();
        }
    }
    std::string LogFile() const { return dir.File("ProgramData/Tarnwick/logs/TarnwickHID.log"); }

    inline static const std::string kData = TARNWICK_TEST_DATA_DIR "/bridge/",
                                    kStopped = "[INFO] Application run loop stopped";
    // The client subscribes right after the module's acknowledgement: the module reading this
    // proves the client counts itself registered.
    inline static const char* const kSubscribe = "MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)";
    TempDir dir;
    FakeServices services{dir.File("bin/TarnwickHID.exe"), dir.File("ProgramData")};
    std::unique_ptr<VirtualCockpit> cockpit = MakeCockpit(FileBytes(kData + "cockpit.json"));
    std::unique_ptr<Application> app;
    std::thread runner;
    std::atomic<bool> returned{false};
};

}  // namespace tarnwick::test
