#include "app/MappingAdapters.h"

#include "hid/HidManager.h"
#include "sim/MobiFlightClient.h"
#include "sim/SimConnectClient.h"

namespace tarnwick {

std::vector<std::pair<std::string, std::int32_t>> HidManagerLeds::ListDevices() {
    std::vector<std::pair<std::string, std::int32_t>> devices;
    for (HidDeviceEntry& entry : manager_.ListDevices()) {
        devices.emplace_back(std::move(entry.name), entry.index);
    }
    return devices;
}

bool HidManagerLeds::SendLedState(const std::string& name, std::int32_t index,
                                  const HidProtocol::LedState& state) {
    return manager_.SendLedState(name, index, state);
}

void HidManagerLeds::InvalidateLedState(const std::string& name, std::int32_t index) {
    manager_.InvalidateLedState(name, index);
}

bool MobiFlightCommands::IsRegistered() {
    return client_.IsRegistered();
}

bool MobiFlightCommands::QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count,
                                  std::string& errorText) {
    const Result queued = client_.QueueRpn(rpn, mode, count);
    if (!queued) {
        errorText = queued.Error();
    }
    return queued.Ok();
}

bool MobiFlightCommands::SendRpnNow(const std::string& rpn, std::string& errorText) {
    const Result sent = client_.SendRpnNow(rpn);
    if (!sent) {
        errorText = sent.Error();
    }
    return sent.Ok();
}

void MobiFlightCommands::CancelHoldRepeats(const std::string& rpn) {
    client_.CancelRpn(rpn, SendMode::Dedupe);
}

bool SimConnectEvents::IsConnected() {
    return client_.IsConnected();
}

bool SimConnectEvents::TransmitEvent(const std::string& eventName, std::uint32_t value,
                                     std::string& errorText) {
    const Result sent = client_.TransmitEvent(eventName, value);
    if (!sent) {
        errorText = sent.Error();
    }
    return sent.Ok();
}

}  // namespace tarnwick
