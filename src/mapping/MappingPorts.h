// What the mapping engine needs from the HID manager, the MobiFlight client and the SimConnect
// client, as three narrow interfaces (its timing rules run on the injected platform Clock). In the
// program they are thin adapters over the real components (app/MappingAdapters.h); tests put
// recording fakes and a hand-driven clock in their place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hid/HidProtocol.h"
#include "mapping/PanelBoard.h"
#include "platform/Result.h"
#include "sim/MobiFlightClient.h"

namespace tarnwick {

// The panel boards' LEDs (HidManager). Called by the event and output workers, never while one of
// the engine's locks is held.
class LedOutputPort {
public:
    virtual ~LedOutputPort() = default;
    // Every open device, in the manager's table order.
    virtual std::vector<PanelBoard> ListDevices() = 0;
    virtual bool SendLedState(const PanelBoard& board, const HidProtocol::LedState& state) = 0;
    // The next SendLedState to that board writes even an unchanged state.
    virtual void InvalidateLedState(const PanelBoard& board) = 0;
};

// Calculator code for the MobiFlight module (MobiFlightClient). Event and hold workers.
class RpnCommandPort {
public:
    virtual ~RpnCommandPort() = default;
    virtual bool IsRegistered() = 0;
    // A failure carries the client's text, which the engine's warning quotes.
    virtual Result QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count) = 0;
    virtual Result SendRpnNow(const std::string& rpn) = 0;
    // Withdraws the waiting hold repeats (Dedupe requests) of this command; a press or encoder
    // clicks of the same text still waiting stay.
    virtual void CancelHoldRepeats(const std::string& rpn) = 0;
};

// Named simulator events (SimConnectClient). Event worker.
class SimEventPort {
public:
    virtual ~SimEventPort() = default;
    virtual bool IsConnected() = 0;
    virtual Result TransmitEvent(const std::string& eventName, std::uint32_t value) = 0;
};

}  // namespace tarnwick
