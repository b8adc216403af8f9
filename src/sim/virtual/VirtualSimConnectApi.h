// The virtual simulator as a SimConnect library: what the virtual cockpit and the tests hand to
// SimConnectClient instead of SimConnect.dll. It counts the CPU time the simulator's own work
// takes inside these calls (the bridge's dispatch callbacks excluded), so that the bridge's own
// share of a run's CPU can be told apart: against the real simulator that work is not ours.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/Threads.h"
#include "sim/SimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {

class VirtualSimConnectApi final : public SimConnectApi {
public:
    // `simulator` must outlive this object.
    explicit VirtualSimConnectApi(VirtualSimulator& simulator) : sim_(simulator) {}

    // CPU time spent in the simulator's side of every call so far, on all threads.
    std::chrono::nanoseconds SimulatorCpuTime() const {
        return std::chrono::nanoseconds(simulatorCpuNs_.load());
    }

    Result Load() override {
        const Meter meter(*this);
        return sim_.Load();
    }
    SimConnectResult Open(SimConnectHandle& handle, const char* name) override {
        const Meter meter(*this);
        return sim_.Open(handle, name);
    }
    SimConnectResult Close(SimConnectHandle handle) override {
        const Meter meter(*this);
        return sim_.Close(handle);
    }
    SimConnectResult AddToDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                         const char* datumName, const char* unitsName,
                                         std::uint32_t datumType, float epsilon,
                                         std::uint32_t datumId) override {
        const Meter meter(*this);
        return sim_.AddToDataDefinition(handle, defineId, datumName, unitsName, datumType, epsilon,
                                        datumId);
    }
    SimConnectResult RequestDataOnSimObject(SimConnectHandle handle, std::uint32_t requestId,
                                            std::uint32_t defineId, std::uint32_t objectId,
                                            std::uint32_t period, std::uint32_t flags,
                                            std::uint32_t origin, std::uint32_t interval,
                                            std::uint32_t limit) override {
        const Meter meter(*this);
        return sim_.RequestDataOnSimObject(handle, requestId, defineId, objectId, period, flags,
                                           origin, interval, limit);
    }
    SimConnectResult CallDispatch(SimConnectHandle handle, SimConnectDispatchProc proc,
                                  void* context) override {
        // The bridge's handlers run inside; their time is taken off again.
        Dispatch dispatch{*this, proc, context};
        const Meter meter(*this);
        return sim_.CallDispatch(handle, &Dispatch::Forward, &dispatch);
    }
    SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle, std::uint32_t eventId,
                                              const char* eventName) override {
        const Meter meter(*this);
        return sim_.MapClientEventToSimEvent(handle, eventId, eventName);
    }
    SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                         std::uint32_t eventId, std::uint32_t data,
                                         std::uint32_t groupId, std::uint32_t flags) override {
        const Meter meter(*this);
        return sim_.TransmitClientEvent(handle, objectId, eventId, data, groupId, flags);
    }
    SimConnectResult MapClientDataNameToID(SimConnectHandle handle, const char* name,
                                           std::uint32_t clientDataId) override {
        const Meter meter(*this);
        return sim_.MapClientDataNameToID(handle, name, clientDataId);
    }
    SimConnectResult AddToClientDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                               std::uint32_t offset, std::uint32_t sizeOrType,
                                               float epsilon, std::uint32_t datumId) override {
        const Meter meter(*this);
        return sim_.AddToClientDataDefinition(handle, defineId, offset, sizeOrType, epsilon,
                                              datumId);
    }
    SimConnectResult RequestClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                       std::uint32_t requestId, std::uint32_t defineId,
                                       std::uint32_t period, std::uint32_t flags,
                                       std::uint32_t origin, std::uint32_t interval,
                                       std::uint32_t limit) override {
        const Meter meter(*this);
        return sim_.RequestClientData(handle, clientDataId, requestId, defineId, period, flags,
                                      origin, interval, limit);
    }
    SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                   std::uint32_t defineId, std::uint32_t flags,
                                   std::uint32_t reserved, std::uint32_t size,
                                   const void* data) override {
        const Meter meter(*this);
        return sim_.SetClientData(handle, clientDataId, defineId, flags, reserved, size, data);
    }

private:
    // Adds the calling thread's CPU time over its own life to the count.
    class Meter {
    public:
        explicit Meter(VirtualSimConnectApi& api)
            : api_(api), start_(platform::CurrentThreadCpuTime()) {}
        ~Meter() { api_.Add((platform::CurrentThreadCpuTime() - start_).count()); }
        Meter(const Meter&) = delete;
        Meter& operator=(const Meter&) = delete;

    private:
        VirtualSimConnectApi& api_;
        std::chrono::nanoseconds start_;
    };
    struct Dispatch {
        VirtualSimConnectApi& api;
        SimConnectDispatchProc proc;
        void* context;
        static void Forward(const std::uint8_t* message, std::uint32_t size, void* self) {
            auto& dispatch = *static_cast<Dispatch*>(self);
            const auto start = platform::CurrentThreadCpuTime();
            dispatch.proc(message, size, dispatch.context);
            dispatch.api.Add(-(platform::CurrentThreadCpuTime() - start).count());
        }
    };
    void Add(std::int64_t ns) { simulatorCpuNs_.fetch_add(ns); }

    VirtualSimulator& sim_;
    std::atomic<std::int64_t> simulatorCpuNs_{0};
};

}  // namespace tarnwick
