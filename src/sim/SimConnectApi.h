// The seam between the SimConnect client and whatever plays the simulator's client library: the
// real SimConnect.dll (win32 backend) or the in-process virtual simulator. It carries exactly the
// eleven calls the program makes, with every argument explicit, and hands received messages over
// as the raw bytes of SimConnect's receive records (layouts in sim/SimConnectRecords.h), so one
// decoding path serves both backends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Result.h"

namespace tarnwick {

// An open connection as the library hands it out; null means none.
using SimConnectHandle = void*;

// The library's HRESULT: negative is a failure, anything else success.
using SimConnectResult = std::int32_t;

inline constexpr SimConnectResult kSimConnectOk = 0;
inline constexpr SimConnectResult kSimConnectFail = static_cast<SimConnectResult>(0x80004005u);

// Called once per received message, on the thread inside CallDispatch. `message` points at the
// record (its first field is the record's dwSize) and stays valid only during the call; `size` is
// the number of bytes that may be read there.
using SimConnectDispatchProc = void (*)(const std::uint8_t* message, std::uint32_t size,
                                        void* context);

class SimConnectApi {
public:
    virtual ~SimConnectApi() = default;

    // Makes the library usable, once; later calls return the first success at once. A failure
    // names what is missing ("SimConnect.dll not found", or the missing function) and the caller
    // tries again later. Called by the SimConnect worker before every open attempt.
    virtual Result Load() = 0;

    // The calls below mirror the library's functions of the same name (without the
    // "SimConnect_" prefix) argument for argument. Open, Close, CallDispatch and the data
    // definitions run on the SimConnect worker; the event and client-data calls on any thread,
    // concurrently, but never with a handle that is being closed. Strings are NUL-terminated.

    // (out handle, name, no window, user event 0, no event handle, configuration index 0).
    virtual SimConnectResult Open(SimConnectHandle& handle, const char* name) = 0;
    virtual SimConnectResult Close(SimConnectHandle handle) = 0;
    virtual SimConnectResult AddToDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                                 const char* datumName, const char* unitsName,
                                                 std::uint32_t datumType, float epsilon,
                                                 std::uint32_t datumId) = 0;
    virtual SimConnectResult RequestDataOnSimObject(SimConnectHandle handle,
                                                    std::uint32_t requestId, std::uint32_t defineId,
                                                    std::uint32_t objectId, std::uint32_t period,
                                                    std::uint32_t flags, std::uint32_t origin,
                                                    std::uint32_t interval,
                                                    std::uint32_t limit) = 0;
    // Calls `proc` for each waiting message; a negative result means the connection is broken.
    virtual SimConnectResult CallDispatch(SimConnectHandle handle, SimConnectDispatchProc proc,
                                          void* context) = 0;
    virtual SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle,
                                                      std::uint32_t eventId,
                                                      const char* eventName) = 0;
    virtual SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                                 std::uint32_t eventId, std::uint32_t data,
                                                 std::uint32_t groupId, std::uint32_t flags) = 0;
    virtual SimConnectResult MapClientDataNameToID(SimConnectHandle handle, const char* name,
                                                   std::uint32_t clientDataId) = 0;
    virtual SimConnectResult AddToClientDataDefinition(SimConnectHandle handle,
                                                       std::uint32_t defineId, std::uint32_t offset,
                                                       std::uint32_t sizeOrType, float epsilon,
                                                       std::uint32_t datumId) = 0;
    virtual SimConnectResult RequestClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                               std::uint32_t requestId, std::uint32_t defineId,
                                               std::uint32_t period, std::uint32_t flags,
                                               std::uint32_t origin, std::uint32_t interval,
                                               std::uint32_t limit) = 0;
    // `data` is only read; `size` bytes of it.
    virtual SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                           std::uint32_t defineId, std::uint32_t flags,
                                           std::uint32_t reserved, std::uint32_t size,
                                           const void* data) = 0;
};

// The real library, SimConnect.dll, loaded at run time: first from the executable's folder, then
// through the normal search. `dllName` exists for tests; the program uses the default. Defined
// only in the Windows build; only main and the Windows tests call it.
std::unique_ptr<SimConnectApi> CreateWin32SimConnectApi(
    const std::string& dllName = "SimConnect.dll");

}  // namespace tarnwick
