#include "app/MappingAdapters.h"

#include "hid/HidManager.h"
#include "sim/MobiFlightClient.h"
#include "sim/SimConnectClient.h"

namespace tarnwick {

std::vector<PanelBoard> HidManagerLeds::ListDevices() {
    std::vector<PanelBoard> boards;
    for (HidDeviceEntry& entry : manager_.ListDevices()) {
        boards.push_back(PanelBoard{std::move(entry.name), entry.index});
    }
    return boards;
}

bool HidManagerLeds::SendLedState(const PanelBoard& board, const HidProtocol::LedState& state) {
    return manager_.SendLedState(board.name, board.index, state);
}

void HidManagerLeds::InvalidateLedState(const PanelBoard& board) {
    manager_.InvalidateLedState(board.name, board.index);
}

bool MobiFlightCommands::IsRegistered() {
    return client_.IsRegistered();
}

Result MobiFlightCommands::QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count) {
    return client_.QueueRpn(rpn, mode, count);
}

Result MobiFlightCommands::SendRpnNow(const std::string& rpn) {
    return client_.SendRpnNow(rpn);
}

void MobiFlightCommands::CancelHoldRepeats(const std::string& rpn) {
    client_.CancelRpn(rpn, SendMode::Dedupe);
}

bool SimConnectEvents::IsConnected() {
    return client_.IsConnected();
}

Result SimConnectEvents::TransmitEvent(const std::string& eventName, std::uint32_t value) {
    return client_.TransmitEvent(eventName, value);
}

}  // namespace tarnwick
