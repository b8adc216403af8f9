#include "sim/SimConnectClient.h"

#include <algorithm>
#include <utility>

#include "log/Logger.h"
#include "sim/SimConnectRecords.h"

namespace tarnwick {

namespace rec = SimConnectRecords;

namespace {

constexpr const char* kDefaultClientName = "TarnwickHID";
constexpr const char* kNotConnected = "SimConnect is not connected";

// The client whose worker runs on this thread, so that Stop called from a handler neither joins
// its own thread nor waits for a lock that the joining thread holds.
thread_local const SimConnectClient* tWorkerOf = nullptr;

std::string FailedText(const std::string& function, SimConnectResult result) {
    return function + " failed (" + rec::ResultText(result) + ")";
}

void Info(const std::string& message) {
    Logger::Instance().Log(LogLevel::Info, message);
}
void Warn(const std::string& message) {
    Logger::Instance().Log(LogLevel::Warn, message);
}

}  // namespace

// Ends one counted simulator operation: the last one out lets a waiting Disconnect close.
class SimConnectClient::CallGuard {
public:
    explicit CallGuard(SimConnectClient& client) : client_(client) {}
    ~CallGuard() {
        std::lock_guard<std::mutex> lock(client_.mutex_);
        if (--client_.callsInFlight_ == 0) {
            client_.callsDone_.notify_all();
        }
    }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

private:
    SimConnectClient& client_;
};

SimConnectClient::SimConnectClient(SimConnectApi& api, SimulatorProbe simulatorRunning,
                                   SimConnectClientOptions options)
    : api_(api), simulatorRunning_(std::move(simulatorRunning)), options_(std::move(options)) {}

SimConnectClient::~SimConnectClient() {
    Stop();
}

bool SimConnectClient::Start(const std::string& clientName, ConnectionHandler connectionHandler,
                             HidPresentQuery hidPresentQuery, std::string& errorText) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (running_.load()) {
        errorText = "SimConnect client already running";
        return false;
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
    try {
        worker_ = std::thread(&SimConnectClient::WorkerMain, this);
    } catch (const std::exception& e) {
        running_.store(false);
        errorText = std::string("Failed to start SimConnect worker: ") + e.what();
        return false;
    }
    return true;
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
        std::string detail;
        if (Connect(detail)) {
            retryDelay = timing.retryDelayFirst;
        } else {
            if (!detail.empty()) {
                Warn("Waiting for SimConnect connection: " + detail);
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
    return !wakeCv_.wait_for(lock, duration, [this] { return !running_.load(); });
}

std::chrono::milliseconds SimConnectClient::NextRetryDelay(
    std::chrono::milliseconds current) const {
    return std::min(current * 2, options_.timing.retryDelayMax);
}

bool SimConnectClient::Connect(std::string& detail) {
    if (!api_.Load(detail)) {
        return false;
    }
    SimConnectHandle opened = nullptr;
    const SimConnectResult openResult = api_.Open(opened, clientName_.c_str());
    if (openResult < 0) {
        detail = FailedText("SimConnect_Open", openResult);
        return false;
    }
    bool wantTelemetry = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (handle_ != nullptr) {
            lock.unlock();
            api_.Close(opened);
            return true;
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
        if (result < 0) {
            problem = FailedText("SimConnect_AddToDataDefinition", result);
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
            if (result < 0) {
                problem = FailedText("SimConnect_RequestDataOnSimObject", result);
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
    return true;
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

// --- Dispatch ----------------------------------------------------------------------------------

void SimConnectClient::DispatchProc(const std::uint8_t* message, std::uint32_t size,
                                    void* context) {
    if (message == nullptr || context == nullptr) {
        return;
    }
    auto* client = static_cast<SimConnectClient*>(context);
    // An exception must not unwind through the library's frames: keep the first one for the
    // worker, which rethrows it once CallDispatch has returned.
    try {
        client->Dispatch(message, size);
    } catch (...) {
        if (!client->dispatchFailure_) {
            client->dispatchFailure_ = std::current_exception();
        }
    }
}

void SimConnectClient::Dispatch(const std::uint8_t* message, std::uint32_t size) {
    rec::Header header;
    if (!rec::DecodeHeader(message, size, header)) {
        return;
    }
    // Never read past the record's own length nor past the bytes handed over.
    if (header.size >= rec::kHeaderSize) {
        size = std::min(size, header.size);
    }
    switch (header.id) {
        case rec::kRecvIdException: {
            rec::ExceptionRecord record;
            if (rec::DecodeException(message, size, record)) {
                Logger::Instance().Debug("SimConnect exception " +
                                         std::to_string(record.exception) +
                                         " sendId=" + std::to_string(record.sendId) +
                                         " index=" + std::to_string(record.index));
            }
            break;
        }
        case rec::kRecvIdOpen:
            Info("SimConnect session opened");
            break;
        case rec::kRecvIdQuit:
            quitReceived_ = true;
            break;
        case rec::kRecvIdSimObjectData: {
            rec::DataRecord record;
            if (!rec::DecodeDataRecord(message, size, record)) {
                break;
            }
            if (record.requestId == rec::kTelemetryRequest) {
                OnTelemetryRecord(record.data, record.dataSize);
            } else if (record.requestId == rec::kBatteryRequest) {
                OnBatteryRecord(record.data, record.dataSize);
            }
            break;
        }
        case rec::kRecvIdClientData: {
            rec::DataRecord record;
            if (!rec::DecodeDataRecord(message, size, record) || record.dataSize == 0) {
                break;
            }
            ClientDataHandler handler;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                handler = clientDataHandler_;
            }
            if (handler) {
                handler(record.requestId, record.data, record.dataSize);
            }
            break;
        }
        default:
            break;
    }
}

void SimConnectClient::OnTelemetryRecord(const std::uint8_t* data, std::uint32_t size) {
    constexpr std::uint32_t kNeeded = SimTelemetry::kCount * 8;
    // A record shorter than the fourteen values (a definition that failed half-way) is dropped
    // rather than read beyond its end.
    if (data == nullptr || size < kNeeded) {
        return;
    }
    TelemetryHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = telemetryHandler_;
    }
    if (!handler) {
        return;
    }
    SimTelemetry values;
    for (std::size_t i = 0; i < SimTelemetry::kCount; ++i) {
        values[i] =
            static_cast<float>(rec::ReadF64(data + 8 * i) * rec::kTelemetryVariables[i].scale);
    }
    handler(values);
}

void SimConnectClient::OnBatteryRecord(const std::uint8_t* data, std::uint32_t size) {
    if (data == nullptr || size < 4) {
        return;
    }
    const bool on = rec::ReadU32(data) != 0;
    BatteryHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = batteryHandler_;
    }
    if (handler) {
        handler(on);
    }
}

// --- Simulator operations ---------------------------------------------------------------------

bool SimConnectClient::BeginCall(SimConnectHandle& handle, std::string& errorText) {
    if (handle_ == nullptr || !connected_.load()) {
        errorText = kNotConnected;
        return false;
    }
    handle = handle_;
    ++callsInFlight_;
    return true;
}

template <typename Call>
bool SimConnectClient::Operate(const char* function, std::string& errorText, Call&& call) {
    SimConnectHandle handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!BeginCall(handle, errorText)) {
            return false;
        }
    }
    CallGuard guard(*this);
    const SimConnectResult result = call(handle);
    if (result < 0) {
        errorText = FailedText(function, result);
        return false;
    }
    return true;
}

bool SimConnectClient::TransmitEvent(const std::string& eventName, std::uint32_t data,
                                     std::string& errorText) {
    if (eventName.empty()) {
        errorText = "SimConnect event name is empty";
        return false;
    }
    SimConnectHandle handle = nullptr;
    std::uint32_t id = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (handle_ == nullptr || !connected_.load()) {
            errorText = kNotConnected;
            return false;
        }
        handle = handle_;
        const auto found = eventIds_.find(eventName);
        if (found != eventIds_.end()) {
            id = found->second;
        } else {
            // Mapped under the mutex: the number and the name are paired atomically, and the
            // handle cannot be taken for closing meanwhile.
            id = nextEventId_++;
            const SimConnectResult result =
                api_.MapClientEventToSimEvent(handle, id, eventName.c_str());
            if (result < 0) {
                errorText = FailedText("SimConnect_MapClientEventToSimEvent", result);
                return false;
            }
            eventIds_.emplace(eventName, id);
        }
        ++callsInFlight_;
    }
    CallGuard guard(*this);
    const SimConnectResult result =
        api_.TransmitClientEvent(handle, rec::kObjectIdUser, id, data, rec::kGroupPriorityHighest,
                                 rec::kEventFlagGroupIdIsPriority);
    if (result < 0) {
        errorText = FailedText("SimConnect_TransmitClientEvent", result);
        return false;
    }
    return true;
}

bool SimConnectClient::MapClientDataName(const std::string& name, std::uint32_t clientDataId,
                                         std::string& errorText) {
    return Operate("SimConnect_MapClientDataNameToID", errorText, [&](SimConnectHandle handle) {
        return api_.MapClientDataNameToID(handle, name.c_str(), clientDataId);
    });
}

bool SimConnectClient::AddClientDataDefinition(std::uint32_t defineId, std::uint32_t size,
                                               std::string& errorText) {
    return Operate("SimConnect_AddToClientDataDefinition", errorText, [&](SimConnectHandle handle) {
        return api_.AddToClientDataDefinition(handle, defineId, 0, size, 0.0f, rec::kUnused);
    });
}

bool SimConnectClient::RequestClientData(std::uint32_t clientDataId, std::uint32_t requestId,
                                         std::uint32_t defineId, std::string& errorText) {
    return Operate("SimConnect_RequestClientData", errorText, [&](SimConnectHandle handle) {
        return api_.RequestClientData(handle, clientDataId, requestId, defineId,
                                      rec::kClientDataPeriodOnSet,
                                      rec::kClientDataRequestFlagChanged, 0, 0, 0);
    });
}

bool SimConnectClient::SetClientData(std::uint32_t clientDataId, std::uint32_t defineId,
                                     const void* data, std::uint32_t size, std::string& errorText) {
    return Operate("SimConnect_SetClientData", errorText, [&](SimConnectHandle handle) {
        return api_.SetClientData(handle, clientDataId, defineId, 0, 0, size, data);
    });
}

}  // namespace tarnwick
