// The SimConnect client's traffic on an open connection: the records the library dispatches to
// it (decoded and handed to the registered handlers on the worker thread), and the operations its
// users call from their own threads, each counted so that Disconnect closes the handle only once
// the last one has finished with it.
#include <algorithm>

#include "log/Logger.h"
#include "sim/SimConnectClient.h"
#include "sim/SimConnectRecords.h"

namespace tarnwick {

namespace rec = SimConnectRecords;

namespace {

constexpr const char* kNotConnected = "SimConnect is not connected";

void Info(const std::string& message) {
    Logger::Instance().Log(LogLevel::Info, message);
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
            } else if (record.requestId == rec::kAircraftRequest) {
                OnAircraftRecord(record.data, record.dataSize);
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

void SimConnectClient::OnAircraftRecord(const std::uint8_t* data, std::uint32_t size) {
    if (data == nullptr || size < rec::kAircraftTitleSize) {
        return;
    }
    const char* text = reinterpret_cast<const char*>(data);
    const std::string title(text, std::find(text, text + rec::kAircraftTitleSize, '\0'));
    AircraftHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = aircraftHandler_;
    }
    if (handler) {
        handler(title);
    }
}

// --- Simulator operations ---------------------------------------------------------------------

Result SimConnectClient::BeginCall(SimConnectHandle& handle) {
    if (handle_ == nullptr || !connected_.load()) {
        return Result::Failure(kNotConnected);
    }
    handle = handle_;
    ++callsInFlight_;
    return Result::Success();
}

template <typename Call>
Result SimConnectClient::Operate(const char* function, Call&& call) {
    SimConnectHandle handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Result begun = BeginCall(handle);
        if (!begun) {
            return begun;
        }
    }
    CallGuard guard(*this);
    const SimConnectResult result = call(handle);
    if (result < 0) {
        return Result::Failure(rec::FailedText(function, result));
    }
    return Result::Success();
}

Result SimConnectClient::TransmitEvent(const std::string& eventName, std::uint32_t data) {
    if (eventName.empty()) {
        return Result::Failure("SimConnect event name is empty");
    }
    SimConnectHandle handle = nullptr;
    std::uint32_t id = 0;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (handle_ == nullptr || !connected_.load()) {
            return Result::Failure(kNotConnected);
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
                return Result::Failure(rec::FailedText("SimConnect_MapClientEventToSimEvent", result));
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
        return Result::Failure(rec::FailedText("SimConnect_TransmitClientEvent", result));
    }
    return Result::Success();
}

Result SimConnectClient::MapClientDataName(const std::string& name, std::uint32_t clientDataId) {
    return Operate("SimConnect_MapClientDataNameToID", [&](SimConnectHandle handle) {
        return api_.MapClientDataNameToID(handle, name.c_str(), clientDataId);
    });
}

Result SimConnectClient::AddClientDataDefinition(std::uint32_t defineId, std::uint32_t size) {
    return Operate("SimConnect_AddToClientDataDefinition", [&](SimConnectHandle handle) {
        return api_.AddToClientDataDefinition(handle, defineId, 0, size, 0.0f, rec::kUnused);
    });
}

Result SimConnectClient::RequestClientData(std::uint32_t clientDataId, std::uint32_t requestId,
                                           std::uint32_t defineId) {
    return Operate("SimConnect_RequestClientData", [&](SimConnectHandle handle) {
        return api_.RequestClientData(handle, clientDataId, requestId, defineId,
                                      rec::kClientDataPeriodOnSet,
                                      rec::kClientDataRequestFlagChanged, 0, 0, 0);
    });
}

Result SimConnectClient::SetClientData(std::uint32_t clientDataId, std::uint32_t defineId,
                                       const void* data, std::uint32_t size) {
    return Operate("SimConnect_SetClientData", [&](SimConnectHandle handle) {
        return api_.SetClientData(handle, clientDataId, defineId, 0, 0, size, data);
    });
}

}  // namespace tarnwick