// The program's one SimConnect connection. A worker waits until a HID device is present and a
// simulator process runs, opens the connection with back-off, subscribes master battery 2 and
// (when a telemetry handler is installed) the fourteen flight values, pumps messages every 15 ms
// and hands what arrives to the installed handlers. Other threads send simulator events and
// operate client-data areas through it. Once a connection has existed, the simulator going away
// asks the application, once, to shut down.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/Clock.h"
#include "platform/Result.h"
#include "sim/SimConnectApi.h"
#include "sim/SimTelemetry.h"

namespace tarnwick {

// The worker's waits, measured and run on the client's clock. Every wait is interruptible: Stop
// ends it at once.
struct SimConnectTiming {
    std::chrono::milliseconds dispatchPeriod{15};     // between message pumps while connected
    std::chrono::milliseconds hidPollPeriod{1000};    // while no HID device is present
    std::chrono::milliseconds simPollPeriod{5000};    // while no simulator process runs
    std::chrono::milliseconds retryDelayFirst{5000};  // after a failed open or a failed pass...
    std::chrono::milliseconds retryDelayMax{30000};   // ...doubling up to this
};

// Why the worker waits, for SimConnectClientOptions::waitObserver.
enum class SimConnectWait {
    Dispatch,
    HidPoll,
    SimPoll,
    Retry,
};

struct SimConnectClientOptions {
    SimConnectTiming timing;
    // Told of every wait the worker starts, before it starts, on the worker thread. Lets tests
    // check the back-off series without waiting it out; empty in the program.
    std::function<void(SimConnectWait, std::chrono::milliseconds)> waitObserver;
};

class SimConnectClient {
public:
    using ConnectionHandler = std::function<void(bool connected)>;
    using HidPresentQuery = std::function<bool()>;
    using TelemetryHandler = std::function<void(const SimTelemetry&)>;
    using BatteryHandler = std::function<void(bool on)>;
    // The user aircraft's title, once per connection and whenever it changes.
    using AircraftHandler = std::function<void(const std::string& title)>;
    using ShutdownHandler = std::function<void()>;
    // (request number, the data field of the client-data record, its size in bytes). The bytes
    // are valid only during the call.
    using ClientDataHandler =
        std::function<void(std::uint32_t requestId, const std::uint8_t* data, std::uint32_t size)>;
    // Answers whether a simulator process runs; called by the worker while not connected.
    using SimulatorProbe = std::function<bool()>;

    // `api`, `clock` and whatever `simulatorRunning` refers to must outlive the client. An empty
    // probe reads as "not running".
    SimConnectClient(SimConnectApi& api, SimulatorProbe simulatorRunning,
                     SimConnectClientOptions options = {}, const Clock& clock = Clock::Steady());
    ~SimConnectClient();  // Stop

    SimConnectClient(const SimConnectClient&) = delete;
    SimConnectClient& operator=(const SimConnectClient&) = delete;

    // Starts the worker. An empty clientName opens connections as "TarnwickHID". hidPresentQuery
    // may be empty (then a device counts as present). connectionHandler runs on the worker.
    // Fails while running ("SimConnect client already running"), or when the worker cannot start;
    // then the client stays stopped and may be started again.
    Result Start(const std::string& clientName, ConnectionHandler connectionHandler,
                 HidPresentQuery hidPresentQuery);
    // Wakes and joins the worker, then closes the connection ("shutdown"). Returns within a few
    // milliseconds whatever the worker was doing, unless a handler it is running blocks.
    // Harmless when not running. Called from the worker (a handler), it only ends the worker.
    void Stop();

    // Each replaces one slot; an empty callable clears it. Handlers run on the worker thread and
    // may call back into the client.
    void SetTelemetryHandler(TelemetryHandler handler);
    void SetBatteryHandler(BatteryHandler handler);
    void SetAircraftHandler(AircraftHandler handler);
    void SetShutdownHandler(ShutdownHandler handler);
    void SetClientDataHandler(ClientDataHandler handler);

    bool IsConnected() const;

    // The simulator operations: any thread. Without a connection they fail with "SimConnect is
    // not connected".
    Result TransmitEvent(const std::string& eventName, std::uint32_t data);
    Result MapClientDataName(const std::string& name, std::uint32_t clientDataId);
    Result AddClientDataDefinition(std::uint32_t defineId, std::uint32_t size);
    // Subscribes the area: a message with requestId whenever its content changes.
    Result RequestClientData(std::uint32_t clientDataId, std::uint32_t requestId,
                             std::uint32_t defineId);
    Result SetClientData(std::uint32_t clientDataId, std::uint32_t defineId, const void* data,
                         std::uint32_t size);

private:
    class CallGuard;

    // The procedure handed to CallDispatch (context: the client) and the record handling behind
    // it. Worker thread only.
    static void DispatchProc(const std::uint8_t* message, std::uint32_t size, void* context);
    void Dispatch(const std::uint8_t* message, std::uint32_t size);

    void WorkerMain();
    void RunPass(bool& waitingForHid, bool& waitingForSim, std::chrono::milliseconds& retryDelay);
    // Success once connected, also when a definition or a request failed (those are logged).
    Result Connect();
    void Disconnect(const std::string& reason);
    void RequestApplicationShutdown();
    void OnTelemetryRecord(const std::uint8_t* data, std::uint32_t size);
    void OnBatteryRecord(const std::uint8_t* data, std::uint32_t size);
    void OnAircraftRecord(const std::uint8_t* data, std::uint32_t size);
    // False when Stop interrupted the wait.
    bool Wait(SimConnectWait why, std::chrono::milliseconds duration);
    std::chrono::milliseconds NextRetryDelay(std::chrono::milliseconds current) const;

    // The shared shape of the client-data operations: handle under the mutex, call after it.
    template <typename Call>
    Result Operate(const char* function, Call&& call);
    // With mutex_ held: the handle for one simulator operation, counted as in use (callsInFlight_)
    // until a CallGuard ends it, so that Disconnect does not close it under the call.
    Result BeginCall(SimConnectHandle& handle);

    SimConnectApi& api_;
    const SimulatorProbe simulatorRunning_;
    const SimConnectClientOptions options_;
    const Clock& clock_;

    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> everConnected_{false};
    std::atomic<bool> shutdownRequested_{false};

    // Start and Stop from different threads must not both join the worker.
    std::mutex lifecycleMutex_;
    std::thread worker_;

    // Set by Start before the worker exists; read by the worker without a lock.
    std::string clientName_;
    ConnectionHandler connectionHandler_;
    HidPresentQuery hidPresentQuery_;

    // The worker's waits, on clock_; Stop notifies under wakeMutex_.
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;

    // Guards the handle, the event table, the handler slots and callsInFlight_.
    mutable std::mutex mutex_;
    // Signalled when callsInFlight_ drops to 0: Disconnect waits for it before closing.
    std::condition_variable callsDone_;
    SimConnectHandle handle_ = nullptr;
    int callsInFlight_ = 0;
    std::unordered_map<std::string, std::uint32_t> eventIds_;
    std::uint32_t nextEventId_ = 1;
    TelemetryHandler telemetryHandler_;
    BatteryHandler batteryHandler_;
    AircraftHandler aircraftHandler_;
    ShutdownHandler shutdownHandler_;
    ClientDataHandler clientDataHandler_;

    // Worker-only state of one CallDispatch: the quit message is acted on after the call returns
    // (the handle must not be closed inside its own dispatch), and an exception thrown by a
    // handler is carried past the library's frames and rethrown there.
    bool quitReceived_ = false;
    std::exception_ptr dispatchFailure_;
};

}  // namespace tarnwick
