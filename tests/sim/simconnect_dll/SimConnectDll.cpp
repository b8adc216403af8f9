// A stand-in SimConnect.dll for the Windows tests: the virtual simulator behind the library's
// eleven functions, exported by their plain names (SimConnect.def), plus a few control functions
// through which a test drives the simulator inside this module. Loading it through the real
// backend exercises the run-time loading and every byte of the receive records.
//
// No Windows header is needed: on x64 there is one calling convention, HRESULT is a 32-bit
// integer and every handle a pointer.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <cstring>
#include <string>
#include <vector>

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

std::vector<std::string> Records(int kind) {
    VirtualSimulator& sim = Get().sim;
    switch (kind) {
        case 0:
            return sim.ModuleCommands();
        case 1:
            return sim.ExecutedCode();
        case 2: {
            std::vector<std::string> events;
            for (const auto& event : sim.Events()) {
                events.push_back(event.name + "=" + std::to_string(event.value));
            }
            return events;
        }
        case 3:
            return sim.OpenedClientNames();
        default:
            return {};
    }
}

}  // namespace

extern "C" {

// --- The library -------------------------------------------------------------------------------

std::int32_t SimConnect_Open(void** handle, const char* name, void* window, std::uint32_t userEvent,
                             void* eventHandle, std::uint32_t configIndex) {
    (void)window;
    (void)userEvent;
    (void)eventHandle;
    (void)configIndex;
    if (handle == nullptr) {
        return tarnwick::kSimConnectFail;
    }
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
    if (proc == nullptr) {
        return tarnwick::kSimConnectFail;
    }
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

// --- Control, for the tests ---------------------------------------------------------------------

void TarnwickSim_SetRunning(int running) {
    Get().sim.SetRunning(running != 0);
}
int TarnwickSim_IsRunning() {
    return Get().sim.IsRunning() ? 1 : 0;
}
void TarnwickSim_Quit() {
    Get().sim.Quit();
}
void TarnwickSim_DropConnections() {
    Get().sim.DropConnections();
}
// 0 Finished, 1 Error, 2 Silent.
void TarnwickSim_SetModuleAnswer(int answer) {
    Get().sim.SetModuleAnswer(static_cast<tarnwick::ModuleAnswer>(answer));
}
void TarnwickSim_SetLVar(const char* name, double value) {
    Get().sim.SetLVar(name != nullptr ? name : "", value);
}
void TarnwickSim_SetMasterBattery2(int on) {
    Get().sim.SetMasterBattery2(on != 0);
}
int TarnwickSim_HandleMisuses() {
    return Get().sim.HandleMisuses();
}
int TarnwickSim_OpenConnectionCount() {
    return Get().sim.OpenConnectionCount();
}

// kind: 0 module commands, 1 executed calculator code, 2 events as "NAME=value", 3 client names
// of the opened connections.
int TarnwickSim_RecordCount(int kind) {
    return static_cast<int>(Records(kind).size());
}

// Copies record `index` of `kind` with its NUL into `buffer`; returns its length, or -1 when
// there is no such record or it does not fit.
int TarnwickSim_CopyRecord(int kind, int index, char* buffer, int size) {
    const std::vector<std::string> records = Records(kind);
    if (index < 0 || static_cast<std::size_t>(index) >= records.size() || buffer == nullptr) {
        return -1;
    }
    const std::string& record = records[static_cast<std::size_t>(index)];
    if (size <= 0 || record.size() + 1 > static_cast<std::size_t>(size)) {
        return -1;
    }
    std::memcpy(buffer, record.c_str(), record.size() + 1);
    return static_cast<int>(record.size());
}

}  // extern "C"
