// An in-process flight simulator that behaves towards this program as the real one does through
// SimConnect: connections open only while it "runs", it greets with the open message, answers
// data requests on the user aircraft every frame (honouring the CHANGED flag), keeps client-data
// areas, and plays the MobiFlight WASM module on its channels. It records what it receives and
// fails, drops, quits or throws on request. The tests, the virtual cockpit and the test
// SimConnect.dll are built on it; VirtualSimConnectApi is its SimConnectApi face.
//
// Every member function is thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimConnectApi.h"

namespace tarnwick {

// The eleven library calls, for failure injection.
enum class SimConnectCall {
    Open,
    Close,
    AddToDataDefinition,
    RequestDataOnSimObject,
    CallDispatch,
    MapClientEventToSimEvent,
    TransmitClientEvent,
    MapClientDataNameToID,
    AddToClientDataDefinition,
    RequestClientData,
    SetClientData,
};

// How the MobiFlight module answers "MF.Clients.Add." + name on the response channel.
enum class ModuleAnswer {
    Finished,  // "MF.Clients.Add." + name + ".Finished", as the real module does
    Error,     // "MF.Clients.Add." + name + ".Error"
    Silent,    // nothing, as when the module is not installed
};

struct TransmittedEvent {
    std::string name;  // the simulator event name the client event was mapped to
    std::uint32_t value = 0;
};

// One RequestDataOnSimObject as the simulator keeps it.
struct VirtualDataRequest {
    std::uint32_t requestId = 0;
    std::uint32_t defineId = 0;
    std::uint32_t objectId = 0;
    std::uint32_t period = 0;
    std::uint32_t flags = 0;
};

class VirtualSimulator {
public:
    // The module's default channels, created when the simulator starts.
    static constexpr const char* kCommandChannel = "MobiFlight.Command";
    static constexpr const char* kResponseChannel = "MobiFlight.Response";
    static constexpr const char* kLVarsChannel = "MobiFlight.LVars";
    static constexpr const char* kLightingPotentiometer = "L:LIGHTING_POTENTIOMETER_5";

    VirtualSimulator();
    ~VirtualSimulator();
    VirtualSimulator(const VirtualSimulator&) = delete;
    VirtualSimulator& operator=(const VirtualSimulator&) = delete;

    // --- The simulator process ---------------------------------------------------------------
    // Starting makes Open succeed. Stopping without Quit is a crash: open connections break (their
    // dispatch fails). Starts not running.
    void SetRunning(bool running);
    bool IsRunning() const;
    // The user closes the simulator: every connection receives the quit message, then the process
    // ends and the connections break.
    void Quit();
    // Every open connection breaks (its dispatch fails from now on); the simulator keeps running,
    // so a new Open succeeds.
    void DropConnections();

    // --- Failures on request ------------------------------------------------------------------
    // While set, the call returns E_FAIL and does nothing.
    void SetCallFailure(SimConnectCall call, bool fail);
    // The next `count` calls of that kind return E_FAIL.
    void FailNextCalls(SimConnectCall call, int count);
    // AddToDataDefinition with this variable name returns E_FAIL.
    void SetVariableFailure(const std::string& variable, bool fail);
    // The next call of that kind throws std::runtime_error(message) (in-process use only).
    void ThrowOnNextCall(SimConnectCall call, const std::string& message);
    // Load fails with this text while it is not empty.
    void SetLoadFailure(const std::string& errorText);
    // Queues a SimConnect exception record to every open connection.
    void RaiseException(std::uint32_t exception, std::uint32_t sendId, std::uint32_t index);
    // Queues raw bytes as one message to every open connection (records of odd sizes).
    void InjectMessage(const std::vector<std::uint8_t>& message);
    // Every call sleeps this long while counted as in progress (widens race windows in stress
    // tests). Zero by default.
    void SetCallDelay(std::chrono::microseconds delay);

    // --- Frames -------------------------------------------------------------------------------
    // With frames on dispatch (the default) every CallDispatch first runs one frame, so data
    // flows as long as the client pumps. Off, only StepFrames advances the simulation.
    void SetFramesOnDispatch(bool on);
    void StepFrames(int count = 1);
    std::uint64_t FrameCount() const;

    // --- The aircraft -------------------------------------------------------------------------
    void SetMasterBattery2(bool on);  // on at start
    // The user aircraft's title, the string variable TITLE; empty at start.
    void SetAircraftTitle(const std::string& title);
    // The value a data request would deliver now, in the unit the program asks for; empty for a
    // variable the simulator does not know.
    std::optional<double> Variable(const std::string& name) const;

    // --- The MobiFlight module ----------------------------------------------------------------
    void SetModuleAnswer(ModuleAnswer answer);
    // L-variables, read and written by calculator code and the LVars channel.
    void SetLVar(const std::string& name, double value);
    std::optional<double> LVar(const std::string& name) const;
    // Every command the module read from a command channel, in order.
    std::vector<std::string> ModuleCommands() const;
    // The calculator code of every "MF.SimVars.Set." command, in order.
    std::vector<std::string> ExecutedCode() const;
    // Client names acknowledged by the module (with the Finished answer).
    std::vector<std::string> RegisteredModuleClients() const;

    // --- What the program did ----------------------------------------------------------------
    std::vector<TransmittedEvent> Events() const;
    // Client names of the successful opens, in order.
    std::vector<std::string> OpenedClientNames() const;
    int OpenAttempts() const;
    int OpenConnectionCount() const;
    // Of the most recently opened connection: the variables of a data definition, and the data
    // requests in the order made.
    std::vector<std::string> DataDefinitionVariables(std::uint32_t defineId) const;
    std::vector<VirtualDataRequest> DataRequests() const;
    // A connection closed while a call with its handle was in progress, or a call made with a
    // handle that is closed or was never handed out. Must stay 0.
    int HandleMisuses() const;
    // Calls (CallDispatch included) now inside the simulator, over all connections.
    int CallsInProgress() const;
    // Whether module commands, executed code and events are kept for the functions above (on by
    // default); off keeps a long run's memory flat.
    void SetKeepRecords(bool keep);
    // Forgets the recorded commands, code, events, opens and misuses.
    void ClearRecords();

private:
    friend class VirtualSimConnectApi;
    struct State;

    // The library calls, as VirtualSimConnectApi forwards them.
    Result Load();
    SimConnectResult Open(SimConnectHandle& handle, const char* name);
    SimConnectResult Close(SimConnectHandle handle);
    SimConnectResult AddToDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                         const char* datumName, const char* unitsName,
                                         std::uint32_t datumType, float epsilon,
                                         std::uint32_t datumId);
    SimConnectResult RequestDataOnSimObject(SimConnectHandle handle, std::uint32_t requestId,
                                            std::uint32_t defineId, std::uint32_t objectId,
                                            std::uint32_t period, std::uint32_t flags,
                                            std::uint32_t origin, std::uint32_t interval,
                                            std::uint32_t limit);
    SimConnectResult CallDispatch(SimConnectHandle handle, SimConnectDispatchProc proc,
                                  void* context);
    SimConnectResult MapClientEventToSimEvent(SimConnectHandle handle, std::uint32_t eventId,
                                              const char* eventName);
    SimConnectResult TransmitClientEvent(SimConnectHandle handle, std::uint32_t objectId,
                                         std::uint32_t eventId, std::uint32_t data,
                                         std::uint32_t groupId, std::uint32_t flags);
    SimConnectResult MapClientDataNameToID(SimConnectHandle handle, const char* name,
                                           std::uint32_t clientDataId);
    SimConnectResult AddToClientDataDefinition(SimConnectHandle handle, std::uint32_t defineId,
                                               std::uint32_t offset, std::uint32_t sizeOrType,
                                               float epsilon, std::uint32_t datumId);
    SimConnectResult RequestClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                       std::uint32_t requestId, std::uint32_t defineId,
                                       std::uint32_t period, std::uint32_t flags,
                                       std::uint32_t origin, std::uint32_t interval,
                                       std::uint32_t limit);
    SimConnectResult SetClientData(SimConnectHandle handle, std::uint32_t clientDataId,
                                   std::uint32_t defineId, std::uint32_t flags,
                                   std::uint32_t reserved, std::uint32_t size, const void* data);

    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

}  // namespace tarnwick
