// The mapping engine's ports over the real components: the HID manager's boards, the MobiFlight
// client's calculator-code channel and the SimConnect client's named events. Thin forwarders; the
// engine's threading contract of each port is the component's own. Each adapter keeps a reference
// to its component, which must outlive it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapping/MappingEngine.h"
#include "mapping/MappingPorts.h"

namespace tarnwick {

class HidManager;
class MobiFlightClient;
class SimConnectClient;

class HidManagerLeds final : public LedOutputPort {
public:
    explicit HidManagerLeds(HidManager& manager) : manager_(manager) {}

    std::vector<PanelBoard> ListDevices() override;
    bool SendLedState(const PanelBoard& board, const HidProtocol::LedState& state) override;
    void InvalidateLedState(const PanelBoard& board) override;

private:
    HidManager& manager_;
};

class MobiFlightCommands final : public RpnCommandPort {
public:
    explicit MobiFlightCommands(MobiFlightClient& client) : client_(client) {}

    bool IsRegistered() override;
    Result QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count) override;
    Result SendRpnNow(const std::string& rpn) override;
    void CancelHoldRepeats(const std::string& rpn) override;

private:
    MobiFlightClient& client_;
};

class SimConnectEvents final : public SimEventPort {
public:
    explicit SimConnectEvents(SimConnectClient& client) : client_(client) {}

    bool IsConnected() override;
    Result TransmitEvent(const std::string& eventName, std::uint32_t value) override;

private:
    SimConnectClient& client_;
};

// The three adapters over one set of components, as the program starts the engine with them.
class MappingAdapters {
public:
    MappingAdapters(HidManager& hid, SimConnectClient& simConnect, MobiFlightClient& mobiFlight)
        : leds_(hid), simEvents_(simConnect), commands_(mobiFlight) {}

    MappingAdapters(const MappingAdapters&) = delete;
    MappingAdapters& operator=(const MappingAdapters&) = delete;

    // The engine's collaborators: these ports and the records given, none owned.
    MappingCollaborators With(const AppConfig* config, const ButtonConfig* buttonConfig,
                              const HidEventMap* hidEventMap, SimStatus* simStatus) {
        return MappingCollaborators{config,       &leds_,      &simEvents_, &commands_,
                                    buttonConfig, hidEventMap, simStatus};
    }

private:
    HidManagerLeds leds_;
    SimConnectEvents simEvents_;
    MobiFlightCommands commands_;
};

}  // namespace tarnwick
