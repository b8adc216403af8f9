// The program's Start: the engine's ports over the real HID manager, SimConnect client and
// MobiFlight client.
#include <utility>

#include "hid/HidManager.h"
#include "mapping/MappingEngine.h"
#include "sim/MobiFlightClient.h"
#include "sim/SimConnectClient.h"

namespace tarnwick {
namespace {

class HidManagerLeds final : public LedOutputPort {
public:
    explicit HidManagerLeds(HidManager& manager) : manager_(manager) {}

    std::vector<std::pair<std::string, std::int32_t>> ListDevices() override {
        std::vector<std::pair<std::string, std::int32_t>> devices;
        for (HidDeviceEntry& entry : manager_.ListDevices()) {
            devices.emplace_back(std::move(entry.name), entry.index);
        }
        return devices;
    }
    bool SendLedState(const std::string& name, std::int32_t index,
                      const HidProtocol::LedState& state) override {
        return manager_.SendLedState(name, index, state);
    }
    void InvalidateLedState(const std::string& name, std::int32_t index) override {
        manager_.InvalidateLedState(name, index);
    }

private:
    HidManager& manager_;
};

class MobiFlightCommands final : public RpnCommandPort {
public:
    explicit MobiFlightCommands(MobiFlightClient& client) : client_(client) {}

    bool IsRegistered() override { return client_.IsRegistered(); }
    bool QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count,
                  std::string& errorText) override {
        return client_.QueueRpn(rpn, mode, count, errorText);
    }
    bool SendRpnNow(const std::string& rpn, std::string& errorText) override {
        return client_.SendRpnNow(rpn, errorText);
    }
    void CancelHoldRepeats(const std::string& rpn) override {
        client_.CancelRpn(rpn, SendMode::Dedupe);
    }

private:
    MobiFlightClient& client_;
};

class SimConnectEvents final : public SimEventPort {
public:
    explicit SimConnectEvents(SimConnectClient& client) : client_(client) {}

    bool IsConnected() override { return client_.IsConnected(); }
    bool TransmitEvent(const std::string& eventName, std::uint32_t value,
                       std::string& errorText) override {
        return client_.TransmitEvent(eventName, value, errorText);
    }

private:
    SimConnectClient& client_;
};

}  // namespace

bool MappingEngine::Start(const AppConfig* config, HidManager* hidManager,
                          SimConnectClient* simConnect, MobiFlightClient* mobiFlight,
                          const ButtonConfig* buttonConfig, const HidEventMap* hidEventMap,
                          SimStatus* simStatus, std::string& errorText) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_.load()) {
        errorText = "Mapping engine already running";
        return false;
    }
    // The workers of an earlier run are joined, so nothing uses the old adapters any more.
    ledAdapter_.reset(hidManager != nullptr ? new HidManagerLeds(*hidManager) : nullptr);
    simEventAdapter_.reset(simConnect != nullptr ? new SimConnectEvents(*simConnect) : nullptr);
    commandAdapter_.reset(mobiFlight != nullptr ? new MobiFlightCommands(*mobiFlight) : nullptr);
    with_ = MappingCollaborators{
        config,      ledAdapter_.get(), simEventAdapter_.get(), commandAdapter_.get(), buttonConfig,
        hidEventMap, simStatus};
    return StartWorkers(errorText);
}

}  // namespace tarnwick
