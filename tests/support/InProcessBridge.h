// The whole bridge in-process over the virtual cockpit, on the program's own backend choice: the
// machine services faked, the cockpit's devices and simulator behind the platform seams.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/Backends.h"
#include "app/SystemServices.h"
#include "app/virtual/Scenario.h"
#include "app/virtual/VirtualCockpit.h"

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
    if (const Result parsed = ParseScenario(scenarioJson, scenario); !parsed) {
        throw std::runtime_error("scenario: " + parsed.Error());
    }
    return std::make_unique<VirtualCockpit>(std::move(scenario));
}

// The program's platform over a cockpit whose scenario has devices and a simulator, so that no
// other backend is made. A plug or unplug triggers a rescan; the caller clears the listener
// (SetHotplugListener({})) once the bridge is gone.
inline ApplicationPlatform CockpitPlatform(SystemServices& services, VirtualCockpit& cockpit) {
    OwnedBackends none;
    return PickBackends(services, &cockpit, none);
}

}  // namespace tarnwick::test
