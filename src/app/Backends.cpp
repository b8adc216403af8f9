#include "app/Backends.h"

#include <string>
#include <utility>

#include "app/ConfigWatcher.h"
#include "app/SystemServices.h"
#include "app/virtual/VirtualCockpit.h"
#include "app/virtual/VirtualDeviceNotifier.h"
#include "hid/HidBackend.h"
#include "sim/SimConnectApi.h"

namespace tarnwick {
OwnedBackends::OwnedBackends() = default;
OwnedBackends::~OwnedBackends() = default;

ApplicationPlatform PickBackends(SystemServices& services, VirtualCockpit* cockpit,
                                 OwnedBackends& owned) {
    ApplicationPlatform platform;
    platform.services = &services;
#ifdef _WIN32
    platform.changeSignal = CreateWin32ChangeSignal(Clock::Steady());
#endif

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

}  // namespace tarnwick
