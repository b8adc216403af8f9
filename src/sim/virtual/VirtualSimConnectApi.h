// The virtual simulator as a SimConnect library: what the virtual cockpit and the tests hand to
// SimConnectClient instead of SimConnect.dll.
#pragma once

#include "sim/SimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {

class VirtualSimConnectApi final : public SimConnectApi {
public:
    // `simulator` must outlive this object.
    explicit VirtualSimConnectApi(VirtualSimulator& simulator) : sim_(simulator) {}

    bool Load(std::string& errorText) override { return sim_.Load(errorText); }
    SimConnectResult Open(SimConnectHandle& handle, const char* name) override {
        return sim_.Open(handle, name);
    }
    SimConnectResult Close(SimConnectHandle handle) override { return sim_.Close(handle); }
    SimConnectResult AddToDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                         const char* datumName, const char* unitsName,
                                         std::uint32_t datumType, float epsilon,
                                         std::uint32_t datumId) override {
        return sim_.AddToDataDefinition(handle, defineId, datumName, unitsName, datumType, epsilon,
                                        datumId);
    }
    SimConnectResult RequestDataOnSimObject(SimConnectHandle handle, std::uint32_t requestId,
                                            std::uint32_t defineId, std::uint32_t objectId,
                                            std::uint32_t period, std::uint32_t flags,
                                            std::uint32_t origin, std::uint32_t interval,
                                            std::uint32_t limit) override {
        return sim_.RequestDataOnSimObject(handle, requestId, defineId, objectId, period, flags,
                                           origin, interval, limit);
    }
    SimConnectResult CallDispatch(SimConnectHandle handle, SimConnectDispatchProc proc,
                                  void* context) override {
        return sim_.CallDispatch(handle, proc, context);
    }
    SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle, std::uint32_t eventId,
                                              const char* eventName) override {
        return sim_.MapClientEventToSimEvent(handle, eventId, eventName);
    }
    SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                         std::uint32_t eventId, std::uint32_t data,
                                         std::uint32_t groupId, std::uint32_t flags) override {
        return sim_.TransmitClientEvent(handle, objectId, eventId, data, groupId, flags);
    }
    SimConnectResult MapClientDataNameToID(SimConnectHandle handle, const char* name,
                                           std::uint32_t clientDataId) override {
        return sim_.MapClientDataNameToID(handle, name, clientDataId);
    }
    SimConnectResult AddToClientDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                               std::uint32_t offset, std::uint32_t sizeOrType,
                                               float epsilon, std::uint32_t datumId) override {
        return sim_.AddToClientDataDefinition(handle, defineId, offset, sizeOrType, epsilon,
                                              datumId);
    }
    SimConnectResult RequestClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                       std::uint32_t requestId, std::uint32_t defineId,
                                       std::uint32_t period, std::uint32_t flags,
                                       std::uint32_t origin, std::uint32_t interval,
                                       std::uint32_t limit) override {
        return sim_.RequestClientData(handle, clientDataId, requestId, defineId, period, flags,
                                      origin, interval, limit);
    }
    SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                   std::uint32_t defineId, std::uint32_t flags,
                                   std::uint32_t reserved, std::uint32_t size,
                                   const void* data) override {
        return sim_.SetClientData(handle, clientDataId, defineId, flags, reserved, size, data);
    }

private:
    VirtualSimulator& sim_;
};

}  // namespace tarnwick
