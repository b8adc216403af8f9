// The whole bridge in-process over the virtual cockpit, wired as the program wires it: the
// machine services faked, the cockpit's devices and simulator behind the platform seams.
#pragma once

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "app/Application.h"
#include "app/SystemServices.h"
#include "app/virtual/Scenario.h"
#include "app/virtual/VirtualCockpit.h"
#include "app/virtual/VirtualDeviceNotifier.h"

namespace tarnwick::test {

// The machine as the bridge sees it: the executable and the machine-wide data folder where the
// test puts them, no simulator process, the single-instance lock always free.
class FakeServices final : public SystemServices {
public:
    FakeServices(std::string exePath, std::string appData)
        : exePath_(std::move(exePath)), appData_(std::move(appData)) {}
    void AttachParentConsole() override {}
    std::string ExecutablePath() override { return exePath_; }
    std::string CommonAppDataDirectory() override { return appData_; }
    bool IsSimulatorProcessRunning() override { return false; }
    InstanceLock AcquireSingleInstanceLock(const std::string&) override {
        return InstanceLock::Acquired;
    }
    void InstallConsoleStopHandler() override {}
    void OrderlyStopFinished() override {}

private:
    std::string exePath_;
    std::string appData_;
};

inline std::unique_ptr<VirtualCockpit> MakeCockpit(const std::string& scenarioJson) {
    Scenario scenario;
    std::string error;
    if (!ParseScenario(scenarioJson, scenario, error)) {
        throw std::runtime_error("scenario: " + error);
    }
    return std::make_unique<VirtualCockpit>(std::move(scenario));
}

// A platform over the cockpit. With `hotplug`, a plug or unplug triggers a rescan as in the
// program; the caller clears the listener (SetHotplugListener({})) once the bridge is gone.
inline ApplicationPlatform CockpitPlatform(SystemServices& services, VirtualCockpit& cockpit,
                                           bool hotplug = true) {
    ApplicationPlatform platform;
    platform.services = &services;
    platform.hidBackend = &cockpit.HidBackendFor();
    platform.simConnectApi = &cockpit.SimConnectApiFor();
    VirtualCockpit* sim = &cockpit;
    platform.simulatorRunning = [sim] { return sim->SimulatorRunning(); };
    auto notifier = std::make_unique<VirtualDeviceNotifier>();
    if (hotplug) {
        VirtualDeviceNotifier* raw = notifier.get();
        cockpit.HidBackendFor().SetHotplugListener([raw](const std::string&, bool arrived) {
            raw->Notify(arrived ? VirtualDeviceChange::HidArrival
                                : VirtualDeviceChange::HidRemoval);
        });
    }
    platform.notifier = std::move(notifier);
    return platform;
}

}  // namespace tarnwick::test
