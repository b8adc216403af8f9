// A stand-in SimConnect.dll for the Windows tests: the virtual simulator behind the library's
// eleven functions, exported by their plain names (SimConnect.def). Loading it through the real
// backend exercises the run-time loading and every byte of the receive records.
//
// No Windows header is needed: on x64 there is one calling convention, HRESULT is a 32-bit
// integer and every handle a pointer.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace {

using tarnwick::VirtualSimConnectApi;
using tarnwick::VirtualSimulator;

// The simulator runs from the moment the library is loaded, as if started before the program.
// With TARNWICK_TEST_SIM_QUIT_AFTER_MS set (the end-to-end runs of the real executable), the
// user closes it that many milliseconds after the first connection opened. The time is checked
// on the program's own dispatch calls, so the library needs no thread of its own.
struct Instance {
    Instance() {
        sim.SetRunning(true);
        if (const char* text = std::getenv("TARNWICK_TEST_SIM_QUIT_AFTER_MS")) {
            quitAfter = std::chrono::milliseconds(std::atol(text));
        }
    }
    void AfterOpen() {
        std::lock_guard<std::mutex> lock(mutex);
        if (!opened) {
            opened = true;
            firstOpen = std::chrono::steady_clock::now();
        }
    }
    void BeforeDispatch() {
        std::lock_guard<std::mutex> lock(mutex);
        if (quitAfter.count() > 0 && opened && !quit &&
            std::chrono::steady_clock::now() - firstOpen >= quitAfter) {
            quit = true;
            sim.Quit();
        }
    }
    VirtualSimulator sim;
    VirtualSimConnectApi api{sim};
    std::mutex mutex;
    std::chrono::milliseconds quitAfter{0};
    bool opened = false;
    bool quit = false;
    std::chrono::steady_clock::time_point firstOpen;
};

Instance& Get() {
    static Instance instance;
    return instance;
}

using RecvProc = void (*)(void* recv, std::uint32_t cbData, void* context);

struct DispatchTarget {
    RecvProc proc;
    void* context;
};

void Forward(const std::uint8_t* message, std::uint32_t size, void* context) {
    const auto* target = static_cast<const DispatchTarget*>(context);
    target->proc(const_cast<std::uint8_t*>(message), size, target->context);
}

}  // namespace

extern "C" {

// --- The library -------------------------------------------------------------------------------

// The window, its message, the event handle and the configuration index are not used.
std::int32_t SimConnect_Open(void** handle, const char* name, void*, std::uint32_t, void*,
                             std::uint32_t) {
    const std::int32_t result = Get().api.Open(*handle, name);
    if (result >= 0) {
        Get().AfterOpen();
    }
    return result;
}

std::int32_t SimConnect_Close(void* handle) {
    return Get().api.Close(handle);
}

std::int32_t SimConnect_AddToDataDefinition(void* handle, std::uint32_t defineId,
                                            const char* datumName, const char* unitsName,
                                            std::uint32_t datumType, float epsilon,
                                            std::uint32_t datumId) {
    return Get().api.AddToDataDefinition(handle, defineId, datumName, unitsName, datumType, epsilon,
                                         datumId);
}

std::int32_t SimConnect_RequestDataOnSimObject(void* handle, std::uint32_t requestId,
                                               std::uint32_t defineId, std::uint32_t objectId,
                                               std::uint32_t period, std::uint32_t flags,
                                               std::uint32_t origin, std::uint32_t interval,
                                               std::uint32_t limit) {
    return Get().api.RequestDataOnSimObject(handle, requestId, defineId, objectId, period, flags,
                                            origin, interval, limit);
}

std::int32_t SimConnect_CallDispatch(void* handle, RecvProc proc, void* context) {
    Get().BeforeDispatch();
    DispatchTarget target{proc, context};
    return Get().api.CallDispatch(handle, &Forward, &target);
}

std::int32_t SimConnect_MapClientEventToSimEvent(void* handle, std::uint32_t eventId,
                                                 const char* eventName) {
    return Get().api.MapClientEventToSimEvent(handle, eventId, eventName);
}

std::int32_t SimConnect_TransmitClientEvent(void* handle, std::uint32_t objectId,
                                            std::uint32_t eventId, std::uint32_t data,
                                            std::uint32_t groupId, std::uint32_t flags) {
    return Get().api.TransmitClientEvent(handle, objectId, eventId, data, groupId, flags);
}

std::int32_t SimConnect_MapClientDataNameToID(void* handle, const char* name,
                                              std::uint32_t clientDataId) {
    return Get().api.MapClientDataNameToID(handle, name, clientDataId);
}

std::int32_t SimConnect_AddToClientDataDefinition(void* handle, std::uint32_t defineId,
                                                  std::uint32_t offset, std::uint32_t sizeOrType,
                                                  float epsilon, std::uint32_t datumId) {
    return Get().api.AddToClientDataDefinition(handle, defineId, offset, sizeOrType, epsilon,
                                               datumId);
}

std::int32_t SimConnect_RequestClientData(void* handle, std::uint32_t clientDataId,
                                          std::uint32_t requestId, std::uint32_t defineId,
                                          std::uint32_t period, std::uint32_t flags,
                                          std::uint32_t origin, std::uint32_t interval,
                                          std::uint32_t limit) {
    return Get().api.RequestClientData(handle, clientDataId, requestId, defineId, period, flags,
                                       origin, interval, limit);
}

std::int32_t SimConnect_SetClientData(void* handle, std::uint32_t clientDataId,
                                      std::uint32_t defineId, std::uint32_t flags,
                                      std::uint32_t reserved, std::uint32_t size, void* data) {
    return Get().api.SetClientData(handle, clientDataId, defineId, flags, reserved, size, data);
}

}  // extern "C"
