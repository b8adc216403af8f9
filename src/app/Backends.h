// Which backends a bridge run uses: the virtual cockpit's devices and simulator where its
// scenario describes them, else the platform's real ones, or, where this build has none, idle
// stand-ins (no devices, a simulator that never runs).
#pragma once

#include <memory>

#include "app/Application.h"

namespace tarnwick {

class VirtualCockpit;
class VirtualHidBackend;
class VirtualSimConnectApi;
class VirtualSimulator;

#ifdef _WIN32
inline constexpr bool kHasRealBackends = true;
#else
inline constexpr bool kHasRealBackends = false;
#endif

// The backends PickBackends had to make; they must outlive the Application that uses them.
struct OwnedBackends {
    OwnedBackends();
    ~OwnedBackends();
    OwnedBackends(const OwnedBackends&) = delete;
    OwnedBackends& operator=(const OwnedBackends&) = delete;

    std::unique_ptr<HidBackend> realHid;
    std::unique_ptr<SimConnectApi> realSim;
    std::unique_ptr<VirtualHidBackend> idleHid;
    std::unique_ptr<VirtualSimulator> idleSim;
    std::unique_ptr<VirtualSimConnectApi> idleSimApi;
};

// The platform of one run over `cockpit` (null: none). The cockpit's plugs and unplugs reach the
// notifier made here; whoever destroys the Application first clears that listener
// (SetHotplugListener({})) or stops the cockpit.
ApplicationPlatform PickBackends(SystemServices& services, VirtualCockpit* cockpit,
                                 OwnedBackends& owned);

}  // namespace tarnwick
