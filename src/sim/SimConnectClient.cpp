#include "sim/SimConnectClient.h"

#include <algorithm>
#include <utility>

#include "log/Logger.h"
#include "platform/Threads.h"
#include "sim/SimConnectRecords.h"

namespace tarnwick {

namespace rec = SimConnectRecords;

namespace {

constexpr const char* kDefaultClientName = "TarnwickHID";

// The client whose worker runs on this thread, so that Stop called from a handler neither joins
// its own thread nor waits for a lock that the joining thread holds.
thread_local const SimConnectClient* tWorkerOf = nullptr;

void Info(const std::string& message) {
    Logger::Instance().Log(LogLevel::Info, message);
}
void Warn(const std::string& message) {
    Logger::Instance().Log(LogLevel::Warn, message);
}

}  // namespace

SimConnectClient::SimConnectClient(SimConnectApi& api, SimulatorProbe simulatorRunning,
                                   SimConnectClientOptions options, const Clock& clock)
    : api_(api),
      simulatorRunning_(std::move(simulatorRunning)),
      options_(std::move(options)),
      clock_(clock) {}

SimConnectClient::~SimConnectClient() {
    Stop();
}

Result SimConnectClient::Start(const std::string& clientName, ConnectionHandler connectionHandler,
                               HidPresentQuery hidPresentQuery) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_.load()) {
        return Result::Failure("SimConnect client already running");
    }
    // A worker ended by a Stop from one of its own handlers is still to be joined; it is past
    // its last pass already.
    if (worker_.joinable()) {
        worker_.join();
    }
    clientName_ = clientName.empty() ? kDefaultClientName : clientName;
    connectionHandler_ = std::move(connectionHandler);
    hidPresentQuery_ = std::move(hidPresentQuery);
    running_.store(true);
    Result started = StartThread(worker_, "SimConnect worker", [this] { WorkerMain(); });
    if (!started) {
        running_.store(false);
    }
    return started;
}

void SimConnectClient::Stop() {
    running_.store(false);
    {
        // Taking the lock orders the flag before any waiter's predicate check: no lost wake-up.
        std::lock_guard<std::mutex> lock(wakeMutex_);
    }
    wakeCv_.notify_all();
    if (tWorkerOf == this) {
        // From a handler: the worker ends after this pass; the next Stop or Start joins it.
        return;
    }
    {
        // The worker never takes lifecycleMutex_, so joining under it cannot deadlock; it keeps
        // two concurrent Stops from joining the same thread.
        std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
        if (worker_.joinable()) {
            worker_.join();
        }
    }
    // No worker runs now, so nothing is inside CallDispatch with the handle. Without a handle
    // this does nothing and logs nothing.
    Disconnect("shutdown");
}

void SimConnectClient::SetTelemetryHandler(TelemetryHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    telemetryHandler_ = std::move(handler);
}

void SimConnectClient::SetBatteryHandler(BatteryHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    batteryHandler_ = std::move(handler);
}

void SimConnectClient::SetAircraftHandler(AircraftHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    aircraftHandler_ = std::move(handler);
}

void SimConnectClient::SetShutdownHandler(ShutdownHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdownHandler_ = std::move(handler);
}

void SimConnectClient::SetClientDataHandler(ClientDataHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    clientDataHandler_ = std::move(handler);
}

bool SimConnectClient::IsConnected() const {
    return connected_.load();
}

// --- Worker ------------------------------------------------------------------------------------

void SimConnectClient::WorkerMain() {
    platform::NameCurrentThread("tw-simconnect");
    tWorkerOf = this;
    bool waitingForHid = false;
    bool waitingForSim = false;
    std::chrono::milliseconds retryDelay = options_.timing.retryDelayFirst;
    while (running_.load()) {
        std::string failure;
        try {
            RunPass(waitingForHid, waitingForSim, retryDelay);
            continue;
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown exception";
        }
        Logger::Instance().Log(LogLevel::Error, "SimConnect worker exception: " + failure);
        Disconnect("worker exception");
        Wait(SimConnectWait::Retry, retryDelay);
        retryDelay = NextRetryDelay(retryDelay);
    }
    tWorkerOf = nullptr;
}

void SimConnectClient::RunPass(bool& waitingForHid, bool& waitingForSim,
                               std::chrono::milliseconds& retryDelay) {
    const SimConnectTiming& timing = options_.timing;
    if (connected_.load()) {
        SimConnectHandle handle = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handle = handle_;
        }
        if (handle != nullptr) {
            quitReceived_ = false;
            dispatchFailure_ = nullptr;
            const SimConnectResult result = api_.CallDispatch(handle, &DispatchProc, this);
            if (quitReceived_) {
                Disconnect("SimConnect quit");
                RequestApplicationShutdown();
            } else if (result < 0) {
                Disconnect("dispatch error " + rec::ResultText(result));
            }
            if (dispatchFailure_) {
                std::exception_ptr failure = std::exchange(dispatchFailure_, nullptr);
                std::rethrow_exception(failure);
            }
        }
        Wait(SimConnectWait::Dispatch, timing.dispatchPeriod);
        return;
    }

    const bool simRunning = simulatorRunning_ ? simulatorRunning_() : false;
    if (everConnected_.load() && !simRunning) {
        RequestApplicationShutdown();
    }

    if (hidPresentQuery_ && !hidPresentQuery_()) {
        if (!waitingForHid) {
            Info("Waiting for HID device to connect");
            waitingForHid = true;
            waitingForSim = false;
        }
        Wait(SimConnectWait::HidPoll, timing.hidPollPeriod);
        return;
    }
    if (waitingForHid) {
        Info("HID device detected");
        waitingForHid = false;
    }

    if (simRunning) {
        if (waitingForSim) {
            Info("Flight simulator process detected");
            waitingForSim = false;
        }
        const Result connected = Connect();
        if (connected) {
            retryDelay = timing.retryDelayFirst;
        } else {
            if (!connected.Error().empty()) {
                Warn("Waiting for SimConnect connection: " + connected.Error());
            }
            Wait(SimConnectWait::Retry, retryDelay);
            retryDelay = NextRetryDelay(retryDelay);
        }
        return;
    }

    if (!waitingForSim) {
        Info("Waiting for flight simulator process to start");
        waitingForSim = true;
    }
    Wait(SimConnectWait::SimPoll, timing.simPollPeriod);
}

bool SimConnectClient::Wait(SimConnectWait why, std::chrono::milliseconds duration) {
    if (options_.waitObserver) {
        options_.waitObserver(why, duration);
    }
    // Woken by Stop (running_ cleared, wakeCv_ notified).
    std::unique_lock<std::mutex> lock(wakeMutex_);
    const Clock::TimePoint deadline = clock_.Now() + duration;
    while (running_.load() && clock_.Now() < deadline) {
        clock_.WaitUntil(wakeCv_, lock, deadline);
    }
    return running_.load();
}

std::chrono::milliseconds SimConnectClient::NextRetryDelay(
    std::chrono::milliseconds current) const {
    return std::min(current * 2, options_.timing.retryDelayMax);
}

Result SimConnectClient::Connect() {
    Result loaded = api_.Load();
    if (!loaded) {
        return loaded;
    }
    SimConnectHandle opened = nullptr;
    const SimConnectResult openResult = api_.Open(opened, clientName_.c_str());
    if (openResult < 0) {
        return Result::Failure(rec::FailedText("SimConnect_Open", openResult));
    }
    bool wantTelemetry = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (handle_ != nullptr) {
            lock.unlock();
            api_.Close(opened);
            return Result::Success();
        }
        handle_ = opened;
        eventIds_.clear();
        nextEventId_ = 1;
        // Decided once per connection: the telemetry definition and its request go together.
        wantTelemetry = static_cast<bool>(telemetryHandler_);
    }
    auto currentHandle = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return handle_;
    };

    std::string problem;
    SimConnectHandle handle = currentHandle();
    if (handle == nullptr) {
        problem = "SimConnect handle unavailable";
    } else {
        SimConnectResult result =
            api_.AddToDataDefinition(handle, rec::kBatteryDefinition, rec::kBatteryVariable,
                                     rec::kBatteryUnit, rec::kDataTypeInt32, 0.0f, rec::kUnused);
        if (result >= 0) {
            result =
                api_.AddToDataDefinition(handle, rec::kAircraftDefinition, rec::kAircraftVariable,
                                         nullptr, rec::kDataTypeString256, 0.0f, rec::kUnused);
        }
        if (result < 0) {
            problem = rec::FailedText("SimConnect_AddToDataDefinition", result);
        } else if (wantTelemetry) {
            for (const rec::TelemetryVariable& row : rec::kTelemetryVariables) {
                result =
                    api_.AddToDataDefinition(handle, rec::kTelemetryDefinition, row.name, row.unit,
                                             rec::kDataTypeFloat64, 0.0f, rec::kUnused);
                if (result < 0) {
                    problem = std::string("SimConnect_AddToDataDefinition failed for ") + row.name +
                              " (" + rec::ResultText(result) + ")";
                    break;
                }
            }
        }
    }
    if (!problem.empty()) {
        Warn("SimConnect data definitions failed: " + problem);
    } else {
        handle = currentHandle();
        if (handle == nullptr) {
            problem = "SimConnect handle unavailable";
        } else {
            SimConnectResult result = api_.RequestDataOnSimObject(
                handle, rec::kBatteryRequest, rec::kBatteryDefinition, rec::kObjectIdUser,
                rec::kPeriodSimFrame, rec::kDataRequestFlagChanged, 0, 0, 0);
            if (result >= 0) {
                result = api_.RequestDataOnSimObject(
                    handle, rec::kAircraftRequest, rec::kAircraftDefinition, rec::kObjectIdUser,
                    rec::kPeriodSimFrame, rec::kDataRequestFlagChanged, 0, 0, 0);
            }
            if (result < 0) {
                problem = rec::FailedText("SimConnect_RequestDataOnSimObject", result);
            } else if (wantTelemetry) {
                result = api_.RequestDataOnSimObject(handle, rec::kTelemetryRequest,
                                                     rec::kTelemetryDefinition, rec::kObjectIdUser,
                                                     rec::kPeriodSimFrame, 0, 0, 0, 0);
                if (result < 0) {
                    problem = "SimConnect_RequestDataOnSimObject failed for telemetry (" +
                              rec::ResultText(result) + ")";
                }
            }
        }
        if (!problem.empty()) {
            Warn("SimConnect data request failed: " + problem);
        }
    }

    const bool wasConnected = connected_.exchange(true);
    everConnected_.store(true);
    if (!wasConnected && connectionHandler_) {
        connectionHandler_(true);
    }
    Info("SimConnect connected");
    return Result::Success();
}

void SimConnectClient::Disconnect(const std::string& reason) {
    SimConnectHandle taken = nullptr;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (handle_ == nullptr) {
            connected_.store(false);
            return;
        }
        taken = std::exchange(handle_, nullptr);
        eventIds_.clear();
        nextEventId_ = 1;
        // New operations see no handle from here on; those that already hold it finish before it
        // is closed. They never wait for the worker, so this cannot deadlock with a handler.
        callsDone_.wait(lock, [this] { return callsInFlight_ == 0; });
    }
    try {
        api_.Close(taken);
    } catch (...) {
        // The handle is gone either way; the result of closing is not looked at.
    }
    if (connected_.exchange(false)) {
        Warn("SimConnect disconnected: " + reason);
        if (connectionHandler_) {
            connectionHandler_(false);
        }
    }
}

void SimConnectClient::RequestApplicationShutdown() {
    if (shutdownRequested_.exchange(true)) {
        return;
    }
    ShutdownHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = shutdownHandler_;
    }
    if (handler) {
        Info("Simulator closed; requesting application shutdown");
        handler();
    }
}

}  // namespace tarnwick
