// What the mapping engine needs from the HID manager, the MobiFlight client and the SimConnect
// client, as three narrow interfaces (its timing rules run on the injected platform Clock). In the
// program they are thin adapters over the real components (app/MappingAdapters.h); tests put
// recording fakes and a hand-driven clock in their place.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hid/HidProtocol.h"
#include "sim/MobiFlightClient.h"

namespace tarnwick {

// The panel boards' LEDs (HidManager). Called by the event and output workers, never while one of
// the engine's locks is held.
class LedOutputPort {
public:
    virtual ~LedOutputPort() = default;
    // (name, index) of every open device, in the manager's table order.
    virtual std::vector<std::pair<std::string, std::int32_t>> ListDevices() = 0;
    virtual bool SendLedState(const std::string& name, std::int32_t index,
                              const HidProtocol::LedState& state) = 0;
    // The next SendLedState to that board writes even an unchanged state.
    virtual void InvalidateLedState(const std::string& name, std::int32_t index) = 0;
};

// Calculator code for the MobiFlight module (MobiFlightClient). Event and hold workers.
class RpnCommandPort {
public:
    virtual ~RpnCommandPort() = default;
    virtual bool IsRegistered() = 0;
    virtual bool QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count,
                          std::string& errorText) = 0;
    virtual bool SendRpnNow(const std::string& rpn, std::string& errorText) = 0;
    // Withdraws the waiting hold repeats (Dedupe requests) of this command; a press or encoder
    // clicks of the same text still waiting stay.
    virtual void CancelHoldRepeats(const std::string& rpn) = 0;
};

// Named simulator events (SimConnectClient). Event worker.
class SimEventPort {
public:
    virtual ~SimEventPort() = default;
    virtual bool IsConnected() = 0;
    virtual bool TransmitEvent(const std::string& eventName, std::uint32_t value,
                               std::string& errorText) = 0;
};

}  // namespace tarnwick
