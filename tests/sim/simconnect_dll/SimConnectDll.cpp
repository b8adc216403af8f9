// A stand-in SimConnect.dll for the Windows tests: the virtual simulator behind the library's
// eleven functions, exported by their plain names (SimConnect.def). Loading it through the real
// backend exercises the run-time loading and every byte of the receive records.
//
// No Windows header is needed: on x64 there is one calling convention, HRESULT is a 32-bit
// integer and every handle a pointer.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace {

using U = std::uint32_t;
using Time = std::chrono::steady_clock;

// The simulator runs from the moment the library is loaded, as if started before the program.
// With TARNWICK_TEST_SIM_QUIT_AFTER_MS set (the end-to-end runs of the real executable), the
// user closes it that many milliseconds after the program first dispatched, which it does at
// once when a connection opened. The time is checked on the program's own dispatch calls, so the
// library needs no thread of its own.
struct Instance {
    Instance() { sim.SetRunning(true); }
    tarnwick::VirtualSimulator sim;
    tarnwick::VirtualSimConnectApi api{sim};
    const char* quitAfter = std::getenv("TARNWICK_TEST_SIM_QUIT_AFTER_MS");
    std::atomic<Time::rep> firstDispatch{0};  // since the clock's epoch; 0 before any, -1 after
};

Instance& Get() {
    static Instance instance;
    return instance;
}

}  // namespace

// Every other function goes to the simulator's function of the same name unchanged.
#define FORWARD(NAME, PARAMETERS, ...)          \
    std::int32_t SimConnect_##NAME PARAMETERS { \
        return Get().api.NAME(__VA_ARGS__);     \
    }

extern "C" {

// The program's receive procedure takes the record as its own type; the bytes are the same.
std::int32_t SimConnect_CallDispatch(void* handle, tarnwick::SimConnectDispatchProc proc,
                                     void* context) {
    Instance& instance = Get();
    const auto now = Time::now().time_since_epoch().count();
    Time::rep first = 0;
    instance.firstDispatch.compare_exchange_strong(first, now);
    if (instance.quitAfter != nullptr && first > 0 &&
        Time::duration(now - first) >= std::chrono::milliseconds(std::atol(instance.quitAfter)) &&
        instance.firstDispatch.compare_exchange_strong(first, -1)) {
        instance.sim.Quit();
    }
    return instance.api.CallDispatch(handle, proc, context);
}

// The window, its message, the event handle and the configuration index are not used. The
// parameters keep the library's order; the simulator's functions name them.
FORWARD(Open, (void** h, const char* name, void*, U, void*, U), *h, name)
FORWARD(Close, (void* h), h)
FORWARD(AddToDataDefinition, (void* h, U a, const char* n, const char* u, U b, float e, U c), h, a,
        n, u, b, e, c)
FORWARD(RequestDataOnSimObject, (void* h, U a, U b, U c, U d, U f, U g, U i, U j), h, a, b, c, d, f,
        g, i, j)
FORWARD(MapClientEventToSimEvent, (void* h, U event, const char* name), h, event, name)
FORWARD(TransmitClientEvent, (void* h, U a, U b, U c, U d, U f), h, a, b, c, d, f)
FORWARD(MapClientDataNameToID, (void* h, const char* name, U area), h, name, area)
FORWARD(AddToClientDataDefinition, (void* h, U a, U b, U c, float e, U d), h, a, b, c, e, d)
FORWARD(RequestClientData, (void* h, U a, U b, U c, U d, U f, U g, U i, U j), h, a, b, c, d, f, g,
        i, j)
FORWARD(SetClientData, (void* h, U a, U b, U c, U d, U size, void* data), h, a, b, c, d, size, data)

}  // extern "C"
