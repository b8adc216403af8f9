// A SimConnectApi that hands every call to another one: the base of decorators that watch or
// change a few calls (recording, stamping, failing on purpose) and pass the rest through.
#pragma once

#include "sim/SimConnectApi.h"

namespace tarnwick {

class ForwardingSimConnectApi : public SimConnectApi {
public:
    // `inner` must outlive this object.
    explicit ForwardingSimConnectApi(SimConnectApi& inner) : inner_(inner) {}

    Result Load() override { return inner_.Load(); }
    SimConnectResult Open(SimConnectHandle& handle, const char* name) override {
        return inner_.Open(handle, name);
    }
    SimConnectResult Close(SimConnectHandle handle) override { return inner_.Close(handle); }
    SimConnectResult AddToDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                         const char* datumName, const char* unitsName,
                                         std::uint32_t datumType, float epsilon,
                                         std::uint32_t datumId) override {
        return inner_.AddToDataDefinition(handle, defineId, datumName, unitsName, datumType,
                                          epsilon, datumId);
    }
    SimConnectResult RequestDataOnSimObject(SimConnectHandle handle, std::uint32_t requestId,
                                            std::uint32_t defineId, std::uint32_t objectId,
                                            std::uint32_t period, std::uint32_t flags,
                                            std::uint32_t origin, std::uint32_t interval,
                                            std::uint32_t limit) override {
        return inner_.RequestDataOnSimObject(handle, requestId, defineId, objectId, period, flags,
                                             origin, interval, limit);
    }
    SimConnectResult CallDispatch(SimConnectHandle handle, SimConnectDispatchProc proc,
                                  void* context) override {
        return inner_.CallDispatch(handle, proc, context);
    }
    SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle, std::uint32_t eventId,
                                              const char* eventName) override {
        return inner_.MapClientEventToSimEvent(handle, eventId, eventName);
    }
    SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                         std::uint32_t eventId, std::uint32_t data,
                                         std::uint32_t groupId, std::uint32_t flags) override {
        return inner_.TransmitClientEvent(handle, objectId, eventId, data, groupId, flags);
    }
    SimConnectResult MapClientDataNameToID(SimConnectHandle handle, const char* name,
                                           std::uint32_t clientDataId) override {
        return inner_.MapClientDataNameToID(handle, name, clientDataId);
    }
    SimConnectResult AddToClientDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                               std::uint32_t offset, std::uint32_t sizeOrType,
                                               float epsilon, std::uint32_t datumId) override {
        return inner_.AddToClientDataDefinition(handle, defineId, offset, sizeOrType, epsilon,
                                                datumId);
    }
    SimConnectResult RequestClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                       std::uint32_t requestId, std::uint32_t defineId,
                                       std::uint32_t period, std::uint32_t flags,
                                       std::uint32_t origin, std::uint32_t interval,
                                       std::uint32_t limit) override {
        return inner_.RequestClientData(handle, clientDataId, requestId, defineId, period, flags,
                                        origin, interval, limit);
    }
    SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                   std::uint32_t defineId, std::uint32_t flags,
                                   std::uint32_t reserved, std::uint32_t size,
                                   const void* data) override {
        return inner_.SetClientData(handle, clientDataId, defineId, flags, reserved, size, data);
    }

protected:
    SimConnectApi& inner_;
};

}  // namespace tarnwick
